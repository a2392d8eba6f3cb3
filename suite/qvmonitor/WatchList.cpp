// Records of watched copies, written whole and flushed.
#include "suite/qvmonitor/WatchList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace qvmonitor {
namespace {

constexpr std::size_t kStampSize = 4 * 8 + 4;

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// Writes `bytes` to `path` through a flushed temporary file renamed over it.
bool WriteWhole(const std::string& folder, const std::string& name,
                const std::vector<std::uint8_t>& bytes) {
  const std::string path = folder + "/" + name;
  const std::string temporary = folder + "/." + name + ".new";
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    (void)unlink(temporary.c_str());
    return false;
  }
  return SyncFolder(folder);
}

std::vector<std::uint8_t> Encode(const WatchRecord& record) {
  std::vector<std::uint8_t> bytes = EncodeRequest(record.request);
  if (bytes.empty()) return bytes;
  const std::uint64_t fields[] = {static_cast<std::uint64_t>(record.stored.device),
                                  static_cast<std::uint64_t>(record.stored.inode),
                                  static_cast<std::uint64_t>(record.stored.size),
                                  static_cast<std::uint64_t>(record.stored.modifiedNs)};
  for (std::uint64_t field : fields)
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
  const std::uint32_t flags = record.unstoredEdit ? 1 : 0;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(flags >> (8 * i)));
  return bytes;
}

bool Decode(const std::vector<std::uint8_t>& bytes, WatchRecord* record) {
  if (bytes.size() <= kStampSize) return false;
  const std::size_t requestSize = bytes.size() - kStampSize;
  std::optional<MonitorRequest> request = DecodeRequest(bytes.data(), requestSize);
  if (!request) return false;
  const std::uint8_t* tail = bytes.data() + requestSize;
  auto le = [&tail](int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value |= std::uint64_t{tail[i]} << (8 * i);
    tail += count;
    return value;
  };
  record->request = std::move(*request);
  record->stored.device = static_cast<dev_t>(le(8));
  record->stored.inode = static_cast<ino_t>(le(8));
  record->stored.size = static_cast<off_t>(le(8));
  record->stored.modifiedNs = static_cast<long long>(le(8));
  const std::uint64_t flags = le(4);
  if ((flags & ~std::uint64_t{1}) != 0) return false;
  record->unstoredEdit = (flags & 1) != 0;
  return true;
}

bool ReadSmallFile(const std::string& path, std::vector<std::uint8_t>* out) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  std::uint8_t buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->insert(out->end(), buffer, buffer + n);
    if (out->size() > kMaxRequestSize + kStampSize) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies `from` to a new file `to` (0600) and flushes it.
bool CopyFlushed(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    close(in);
    return false;
  }
  std::uint8_t buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  ok = ok && fsync(out) == 0;
  close(out);
  close(in);
  if (!ok) (void)unlink(to.c_str());
  return ok;
}

}  // namespace

bool WatchList::Write(const WatchRecord& record) const {
  const std::vector<std::uint8_t> bytes = Encode(record);
  return !bytes.empty() && WriteWhole(folder_ + "/watch", record.request.token, bytes);
}

void WatchList::Remove(const std::string& token) const {
  if (unlink(RecordPath(token).c_str()) == 0) (void)SyncFolder(folder_ + "/watch");
}

bool WatchList::Exists(const std::string& token) const {
  struct stat st {};
  return IsValidToken(token) && lstat(RecordPath(token).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<WatchRecord> WatchList::ReadAll(std::vector<std::string>* unreadable) const {
  std::vector<WatchRecord> records;
  DirHandle dir(opendir((folder_ + "/watch").c_str()));
  if (!dir) return records;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.front() == '.') continue;  // a record being written
    std::vector<std::uint8_t> bytes;
    WatchRecord record;
    if (!IsValidToken(name) || !ReadSmallFile(RecordPath(name), &bytes) ||
        !Decode(bytes, &record) || record.request.token != name) {
      if (unreadable != nullptr) unreadable->push_back(RecordPath(name));
      continue;
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::string WatchList::Keep(const WatchRecord& record) const {
  const std::string kept = folder_ + "/kept";
  const std::string target =
      kept + "/" + record.request.token + "-" + BaseName(record.request.decryptedPath);
  const std::string& copy = record.request.decryptedPath;
  if (rename(copy.c_str(), target.c_str()) != 0) {
    if (errno != EXDEV || !CopyFlushed(copy, target)) return {};
    (void)OverwriteAndRemove(copy);
  }
  (void)SyncFolder(kept);
  const std::vector<std::uint8_t> bytes = Encode(record);
  (void)WriteWhole(kept, record.request.token + ".record", bytes);
  return target;
}

}  // namespace qvmonitor
