// The request's wire form and the monitor's state folder.
#include "suite/qvmonitor/MonitorRequest.h"

#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/MachineRoot.h"

namespace qvmonitor {
namespace {

constexpr char kMagic[4] = {'Q', 'V', 'M', 'R'};
constexpr std::uint16_t kVersion = 1;

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Le(std::uint64_t* value, int bytes) {
    if (size_ - at_ < static_cast<std::size_t>(bytes)) return false;
    *value = 0;
    for (int i = 0; i < bytes; ++i) *value |= std::uint64_t{data_[at_ + i]} << (8 * i);
    at_ += bytes;
    return true;
  }
  bool Bytes(std::string* out, std::size_t length) {
    if (size_ - at_ < length) return false;
    out->assign(reinterpret_cast<const char*>(data_ + at_), length);
    at_ += length;
    return out->find('\0') == std::string::npos;
  }
  bool Text(std::string* out, std::size_t limit) {
    std::uint64_t length = 0;
    return Le(&length, 4) && length <= limit && Bytes(out, static_cast<std::size_t>(length));
  }
  bool AtEnd() const { return at_ == size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

bool Fits(const std::string& text, std::size_t limit) {
  return text.size() <= limit && text.find('\0') == std::string::npos;
}

// A folder of the user's own, mode 0700, made when missing; never a link.
bool PrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return false;
  return (st.st_mode & 077) == 0 || chmod(path.c_str(), 0700) == 0;
}

}  // namespace

bool IsValidToken(const std::string& token) {
  if (token.size() != kTokenLength) return false;
  for (char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::string NewToken() {
  unsigned char bytes[kTokenLength / 2];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

std::vector<std::uint8_t> EncodeRequest(const MonitorRequest& request) {
  if (!IsValidToken(request.token) || !Fits(request.containerPath, kMaxPathLength) ||
      !Fits(request.decryptedPath, kMaxPathLength) || !Fits(request.userId, kMaxUserIdLength))
    return {};
  // Sized at once: every field is bounded above, and one allocation serves the whole request.
  std::vector<std::uint8_t> out;
  out.reserve(sizeof kMagic + 2 + request.token.size() + 8 + 4 + 4 + 3 * 4 +
              request.containerPath.size() + request.decryptedPath.size() + request.userId.size());
  out.insert(out.end(), kMagic, kMagic + sizeof kMagic);
  PutLe(out, kVersion, 2);
  out.insert(out.end(), request.token.begin(), request.token.end());
  PutLe(out, request.lastWriteTime, 8);
  PutLe(out, request.folderId, 4);
  PutLe(out, request.fileId, 4);
  for (const std::string* text :
       {&request.containerPath, &request.decryptedPath, &request.userId}) {
    PutLe(out, text->size(), 4);
    out.insert(out.end(), text->begin(), text->end());
  }
  return out;
}

std::optional<MonitorRequest> DecodeRequest(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0)
    return std::nullopt;
  Reader reader(data + sizeof kMagic, size - sizeof kMagic);
  MonitorRequest request;
  std::uint64_t version = 0, folderId = 0, fileId = 0;
  if (!reader.Le(&version, 2) || version != kVersion ||
      !reader.Bytes(&request.token, kTokenLength) || !IsValidToken(request.token) ||
      !reader.Le(&request.lastWriteTime, 8) || !reader.Le(&folderId, 4) || !reader.Le(&fileId, 4) ||
      !reader.Text(&request.containerPath, kMaxPathLength) ||
      !reader.Text(&request.decryptedPath, kMaxPathLength) ||
      !reader.Text(&request.userId, kMaxUserIdLength) || !reader.AtEnd())
    return std::nullopt;
  request.folderId = static_cast<std::uint32_t>(folderId);
  request.fileId = static_cast<std::uint32_t>(fileId);
  return request;
}

std::string StateFolder() {
  const std::string root = QvMachineRoot();
  if (root.empty()) return {};
  const std::string user = root + "/monitor-" + std::to_string(getuid());
  if (!PrivateFolder(user) || !PrivateFolder(user + "/watch") || !PrivateFolder(user + "/kept"))
    return {};
  return user;
}

}  // namespace qvmonitor
