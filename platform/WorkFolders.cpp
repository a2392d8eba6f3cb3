// Work folders and their record in the machine root (see WorkFolders.h).
#include "platform/WorkFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/Files.h"
#include "platform/Handles.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/MachineRoot.h"
#include "platform/PosixIo.h"

using qv::detail::UniqueFd;

namespace {

constexpr char kRecordFolder[] = "/work-folders";
constexpr char kMutexPrefix[] = "QvWorkFolder-";
constexpr std::size_t kTokenLength = 16;

// The work folders this process holds: path -> its token and mutex.
struct Held {
  std::string token;
  HANDLE mutex = nullptr;
};
struct HeldTable {
  std::mutex lock;
  std::map<std::string, Held> byPath;
};
HeldTable& HeldFolders() {
  static HeldTable* table = new HeldTable;
  return *table;
}

std::string RecordFolder() {
  const std::string root = QvMachineRoot();
  if (root.empty()) return {};
  const std::string folder = root + kRecordFolder;
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return folder;
}

bool IsToken(const char* name) {
  if (std::strlen(name) != kTokenLength) return false;
  for (const char* c = name; *c != '\0'; ++c)
    if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
  return true;
}

std::string NewToken() {
  unsigned char bytes[kTokenLength / 2];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return {};
  std::string token;
  for (const unsigned char b : bytes) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    token += hex;
  }
  return token;
}

std::string MutexName(const std::string& token) { return kMutexPrefix + token; }

// Volume and index of a record written before its folder exists.
constexpr std::uint64_t kPending = 0;

// Writes the record of `path` into `file`: the folder's volume and index, or kPending twice
// when it is not made yet; made durable when `durable`. `exclusive`: the file must not exist
// yet; otherwise the record replaces the file's in one rename.
bool WriteRecord(const std::string& records, const std::string& file, const std::string& path,
                 const struct stat* folder, bool exclusive, bool durable) {
  char head[64];
  std::snprintf(head, sizeof head, "%" PRIu64 " %" PRIu64 "\n",
                folder != nullptr ? static_cast<std::uint64_t>(folder->st_dev) : kPending,
                folder != nullptr ? static_cast<std::uint64_t>(folder->st_ino) : kPending);
  const std::string text = head + path;
  const std::string written = exclusive ? file : file + ".new";
  UniqueFd fd(open(written.c_str(),
                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC),
                   0600));
  if (!fd.Valid()) return false;
  if (qv::detail::WriteAll(fd.Get(), text.data(), text.size()) != 0 ||
      (durable && fsync(fd.Get()) != 0) ||
      (!exclusive && rename(written.c_str(), file.c_str()) != 0)) {
    (void)unlink(written.c_str());
    return false;
  }
  if (!durable) return true;
  UniqueFd parent(open(records.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.Valid()) (void)fsync(parent.Get());
  return true;
}

// The folder a record names, and whether it is still that very folder. False for a record
// that cannot be read or makes no sense (a process that ended while writing it).
bool ReadRecord(const std::string& file, std::string* path, bool* sameFolder) {
  UniqueFd fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.Valid()) return false;
  char buffer[8192];
  const ssize_t n = read(fd.Get(), buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  buffer[n] = '\0';
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  int consumed = 0;
  if (std::sscanf(buffer, "%" SCNu64 " %" SCNu64 "\n%n", &volume, &index, &consumed) != 2 ||
      consumed <= 0 || buffer[consumed] != '/')
    return false;
  *path = buffer + consumed;
  struct stat st {};
  if (lstat(path->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *sameFolder = false;
  } else if (volume == kPending && index == kPending) {
    // Its process ended between making the folder and recording it: the folder is the one
    // whose name ends in the record's own token, which no user's folder has by accident.
    const std::string token = file.substr(file.rfind('/') + 1);
    *sameFolder = path->size() > token.size() &&
                  path->compare(path->size() - token.size(), token.size(), token) == 0;
  } else {
    *sameFolder = static_cast<std::uint64_t>(st.st_dev) == volume &&
                  static_cast<std::uint64_t>(st.st_ino) == index;
  }
  return true;
}

void LetGo(HANDLE mutex) {
  (void)ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace

std::string QvCreateWorkFolder(const std::string& parent, const std::string& prefix) {
  try {
    const std::string records = RecordFolder();
    if (records.empty()) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return {};
    }
    const std::string token = NewToken();
    if (token.empty()) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return {};
    }
    // Held before the folder or its record exists, so no sweep can take either for stale.
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, MutexName(token).c_str());
    if (mutex == nullptr) return {};
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      CloseHandle(mutex);
      SetLastError(ERROR_ALREADY_EXISTS);
      return {};
    }
    // The folder's name ends in the token, and its record is written before the folder is
    // made: a process killed in between leaves a record a later sweep acts on, never a folder
    // that no record names.
    const std::string path =
        parent + (!parent.empty() && parent.back() == '/' ? "" : "/") + prefix + token;
    const std::string file = records + "/" + token;
    // A record of a folder in memory needs to outlive its process, never a power loss,
    // which takes the folder with it.
    const bool durable = !QvOnMemoryFileSystem(parent);
    if (!WriteRecord(records, file, path, nullptr, true, durable)) {
      LetGo(mutex);
      SetLastError(ERROR_CANTWRITE);
      return {};
    }
    struct stat made {};
    if (mkdir(path.c_str(), 0700) != 0 || lstat(path.c_str(), &made) != 0) {
      const DWORD error = Win32ErrorFromErrno(errno);
      (void)rmdir(path.c_str());
      (void)unlink(file.c_str());
      LetGo(mutex);
      SetLastError(error);
      return {};
    }
    // Now the record names the folder by its identity, so a folder made under the same name
    // after this one is gone is never taken for it.
    (void)WriteRecord(records, file, path, &made, false, durable);
    HeldTable& held = HeldFolders();
    std::lock_guard<std::mutex> guard(held.lock);
    held.byPath[path] = Held{token, mutex};
    return path;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }
}

BOOL QvRemoveWorkFolder(const std::string& path) noexcept {
  try {
    HeldTable& held = HeldFolders();
    Held entry;
    {
      std::lock_guard<std::mutex> guard(held.lock);
      const auto found = held.byPath.find(path);
      if (found == held.byPath.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      entry = found->second;
    }
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !DeleteFolderTreeA(path.c_str())) return FALSE;
    {
      std::lock_guard<std::mutex> guard(held.lock);
      held.byPath.erase(path);
    }
    const std::string records = RecordFolder();
    if (!records.empty()) (void)unlink((records + "/" + entry.token).c_str());
    LetGo(entry.mutex);
    return TRUE;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

void QvReleaseWorkFolder(const std::string& path) noexcept {
  try {
    HeldTable& held = HeldFolders();
    Held entry;
    {
      std::lock_guard<std::mutex> guard(held.lock);
      const auto found = held.byPath.find(path);
      if (found == held.byPath.end()) return;
      entry = found->second;
      held.byPath.erase(found);
    }
    const std::string records = RecordFolder();
    if (!records.empty()) (void)unlink((records + "/" + entry.token).c_str());
    LetGo(entry.mutex);
  } catch (...) {
  }
}

int QvSweepWorkFolders() noexcept {
  try {
    const std::string records = RecordFolder();
    if (records.empty()) return 0;
    std::vector<std::string> tokens;
    if (DIR* listing = opendir(records.c_str())) {
      while (const dirent* entry = readdir(listing))
        if (IsToken(entry->d_name)) tokens.emplace_back(entry->d_name);
      closedir(listing);
    }
    std::vector<std::string> ours;
    {
      HeldTable& held = HeldFolders();
      std::lock_guard<std::mutex> guard(held.lock);
      for (const auto& [path, entry] : held.byPath) ours.push_back(entry.token);
    }
    int removed = 0;
    for (const std::string& token : tokens) {
      if (std::find(ours.begin(), ours.end(), token) != ours.end()) continue;
      const HANDLE mutex = CreateMutexA(nullptr, FALSE, MutexName(token).c_str());
      if (mutex == nullptr) continue;
      const DWORD waited = WaitForSingleObject(mutex, 0);
      if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        // Nobody holds it: the process that made the folder has ended.
        const std::string file = records + "/" + token;
        std::string path;
        bool sameFolder = false;
        const bool read = ReadRecord(file, &path, &sameFolder);
        bool gone = true;
        if (read && sameFolder) {
          gone = DeleteFolderTreeA(path.c_str()) != FALSE;
          if (gone) ++removed;
        }
        if (gone) (void)unlink(file.c_str());
        (void)ReleaseMutex(mutex);
      }
      CloseHandle(mutex);
    }
    return removed;
  } catch (...) {
    return 0;
  }
}
