// Exported key files (see KeyFile.h): the fixed header, the names, and the key blob sealed
// with XChaCha20-Poly1305 under an Argon2id key of the password, the header being the
// authenticated data.
#include "suite/qvprofile/KeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/MachineRoot.h"
#include "platform/SecureMemory.h"
#include "suite/QvKeyBlob.h"
#include "suite/qvprofile/StoreCrypto.h"

namespace {

constexpr char kMagic[4] = {'Q', 'V', 'K', 'F'};
// Version 2 is sealed at the sensitive limits. Version 1 files were sealed at the interactive
// limits and still open at those: an older key's only copy may be such a file, and the files
// that encrypted items name for their older keys are. Each version needs at least the limits
// it was written with.
constexpr std::uint8_t kVersion = 2;
constexpr std::uint8_t kOldestVersion = 1;
constexpr std::uint8_t kKdfArgon2id13 = 2;
constexpr std::size_t kFixedHeaderSize = 48;
constexpr std::size_t kSealedSize = qvstore::kNonceSize + kKeyBlobSize + qvstore::kTagSize;
constexpr const char* kContext = "qvkf";

void PutLe(std::vector<std::uint8_t>& out, std::size_t offset, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t GetLe(const std::uint8_t* data, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | data[i];
  return value;
}

bool CleanName(std::string_view text, std::size_t maxLength, bool mayBeEmpty) {
  if (text.size() > maxLength || (!mayBeEmpty && text.empty())) return false;
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  return true;
}

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string QvExportFolder() {
  const std::string root = QvMachineRoot();
  return root.empty() ? std::string() : root + "/export";
}

std::string QvKeyFileName(std::string_view keyName) {
  static constexpr char kGuidPattern[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  bool guid = keyName.size() == sizeof kGuidPattern - 1;
  for (std::size_t i = 0; guid && i < keyName.size(); ++i)
    guid = kGuidPattern[i] == 'x' ? std::isxdigit(static_cast<unsigned char>(keyName[i])) != 0
                                  : keyName[i] == kGuidPattern[i];
  const std::string_view base = guid ? keyName.substr(1, keyName.size() - 2) : keyName;
  std::string name;
  name.reserve(base.size() + 7);
  for (const char c : base)
    name.push_back(c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20 ? '_'
                                                                                             : c);
  if (name.empty() || name == "." || name == "..") name.assign(1, '_');
  for (const char c : std::string_view(".qvkey")) name.push_back(c);
  return name;
}

QvStoreStatus QvEncodeKeyFile(const QvKeyFileContents& contents, std::string_view password,
                              std::vector<std::uint8_t>* bytes) {
  try {
    bool hasSecret = false;
    if (bytes == nullptr || !QvIsValidUserId(contents.userId) ||
        !CleanName(contents.keyName, kMaxKeyNameLength, false) ||
        !CleanName(contents.label, kMaxKeyNameLength, true) ||
        !IsKeyBlob(contents.blob.data(), contents.blob.size(), &hasSecret) || !hasSecret ||
        password.empty() || password.size() > kMaxPasswordLength)
      return QvStoreStatus::InvalidArgument;
    const std::size_t names =
        contents.userId.size() + contents.keyName.size() + contents.label.size();
    std::vector<std::uint8_t> out(kFixedHeaderSize + names, 0);
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    out[4] = kVersion;
    out[5] = kKdfArgon2id13;
    const qvstore::KdfLimits limits = qvstore::KeyFileLimits();
    PutLe(out, 8, limits.ops, 8);
    PutLe(out, 16, limits.mem, 8);
    if (!qvstore::RandomSalt(out.data() + 24)) return QvStoreStatus::Failed;
    out[40] = static_cast<std::uint8_t>(contents.userId.size());
    PutLe(out, 42, contents.keyName.size(), 2);
    PutLe(out, 44, contents.label.size(), 2);
    std::size_t at = kFixedHeaderSize;
    for (const std::string* text : {&contents.userId, &contents.keyName, &contents.label}) {
      std::memcpy(out.data() + at, text->data(), text->size());
      at += text->size();
    }
    QvMasterKey key;
    std::vector<std::uint8_t> sealed;
    const std::string_view header(reinterpret_cast<const char*>(out.data()), out.size());
    if (!key.Valid() || !qvstore::DeriveKey(password, out.data() + 24, limits, key.Data()) ||
        !qvstore::Seal(key.Data(), contents.blob.data(), contents.blob.size(),
                       std::string(kContext) + std::string(header), &sealed))
      return QvStoreStatus::Failed;
    out.insert(out.end(), sealed.begin(), sealed.end());
    *bytes = std::move(out);
    return QvStoreStatus::Ok;
  } catch (...) {
    return QvStoreStatus::Failed;
  }
}

namespace {

// Reads the header of a key file; *headerSize receives its length (the sealed key follows).
QvStoreStatus ParseHeader(const std::uint8_t* data, std::size_t size, QvKeyFileContents* out,
                          std::size_t* headerSize) {
  if (data == nullptr || size < kFixedHeaderSize + kSealedSize || size > kMaxKeyFileSize ||
      std::memcmp(data, kMagic, sizeof kMagic) != 0 || data[4] < kOldestVersion ||
      data[4] > kVersion || data[5] != kKdfArgon2id13 || data[6] != 0 || data[7] != 0 ||
      data[41] != 0 || data[46] != 0 || data[47] != 0)
    return QvStoreStatus::InvalidArgument;
  out->version = data[4];
  out->kdfOps = GetLe(data + 8, 8);
  out->kdfMem = GetLe(data + 16, 8);
  const std::size_t idLength = data[40];
  const std::size_t nameLength = static_cast<std::size_t>(GetLe(data + 42, 2));
  const std::size_t labelLength = static_cast<std::size_t>(GetLe(data + 44, 2));
  *headerSize = kFixedHeaderSize + idLength + nameLength + labelLength;
  if (!qvstore::WithinKdfBounds({out->kdfOps, out->kdfMem}) || size != *headerSize + kSealedSize)
    return QvStoreStatus::InvalidArgument;
  const char* names = reinterpret_cast<const char*>(data + kFixedHeaderSize);
  out->userId.assign(names, idLength);
  out->keyName.assign(names + idLength, nameLength);
  out->label.assign(names + idLength + nameLength, labelLength);
  out->blob.clear();
  if (!QvIsValidUserId(out->userId) || !CleanName(out->keyName, kMaxKeyNameLength, false) ||
      !CleanName(out->label, kMaxKeyNameLength, true))
    return QvStoreStatus::InvalidArgument;
  return QvStoreStatus::Ok;
}

// Reads a key file's header and, when `password` is given, opens the sealed key with it.
// `contents` is written only on success.
QvStoreStatus ReadKeyFile(const std::uint8_t* data, std::size_t size,
                          std::optional<std::string_view> password, QvKeyFileContents* contents) {
  try {
    if (contents == nullptr) return QvStoreStatus::InvalidArgument;
    std::size_t headerSize = 0;
    QvKeyFileContents out;
    const QvStoreStatus parsed = ParseHeader(data, size, &out, &headerSize);
    if (parsed != QvStoreStatus::Ok) return parsed;
    if (password) {
      // Checked before any derivation: a weakly protected file is refused whatever the
      // password.
      if (!QvKeyFileWeakness(out).empty()) return QvStoreStatus::InvalidArgument;
      if (password->empty() || password->size() > kMaxPasswordLength)
        return QvStoreStatus::WrongPassword;
      QvMasterKey key;
      if (!key.Valid() ||
          !qvstore::DeriveKey(*password, data + 24, {out.kdfOps, out.kdfMem}, key.Data()))
        return QvStoreStatus::Failed;
      const std::vector<std::uint8_t> sealed(data + headerSize, data + size);
      out.blob.assign(kKeyBlobSize, 0);
      const std::string_view header(reinterpret_cast<const char*>(data), headerSize);
      if (!qvstore::Open(key.Data(), sealed, std::string(kContext) + std::string(header),
                         out.blob.data(), out.blob.size()))
        return QvStoreStatus::WrongPassword;
      bool hasSecret = false;
      if (!IsKeyBlob(out.blob.data(), out.blob.size(), &hasSecret) || !hasSecret) {
        SecureZeroMemory(out.blob.data(), out.blob.size());
        return QvStoreStatus::Damaged;
      }
    }
    *contents = std::move(out);
    return QvStoreStatus::Ok;
  } catch (...) {
    return QvStoreStatus::Failed;
  }
}

}  // namespace

std::string QvKeyFileWeakness(const QvKeyFileContents& contents) {
  qvstore::KdfLimits floor = qvstore::KeyFileLimits();
  if (contents.version == kOldestVersion) {
    const qvstore::KdfLimits written = qvstore::OlderStoreLimits();
    floor = {std::min(floor.ops, written.ops), std::min(floor.mem, written.mem)};
  }
  if (qvstore::AtLeast({contents.kdfOps, contents.kdfMem}, floor)) return {};
  auto kib = [](std::uint64_t bytes) { return std::to_string(bytes / 1024) + " KiB"; };
  return "the file's password protection is too weak (Argon2id with " +
         std::to_string(contents.kdfOps) + " passes over " + kib(contents.kdfMem) +
         "; a file of this version needs at least " + std::to_string(floor.ops) + " passes over " +
         kib(floor.mem) +
         "), so a guessed password would cost an attacker too little: export the key again "
         "with 'qvclient export-key' on the installation that holds it, then import the new "
         "file";
}

QvStoreStatus QvPeekKeyFile(const std::uint8_t* data, std::size_t size,
                            QvKeyFileContents* contents) {
  return ReadKeyFile(data, size, std::nullopt, contents);
}

QvStoreStatus QvDecodeKeyFile(const std::uint8_t* data, std::size_t size, std::string_view password,
                              QvKeyFileContents* contents) {
  return ReadKeyFile(data, size, password, contents);
}

QvStoreStatus QvWriteKeyFile(const std::string& path, const std::vector<std::uint8_t>& bytes,
                             bool overwrite, std::string* error) {
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  try {
    if (path.empty() || bytes.empty()) return QvStoreStatus::InvalidArgument;
    const std::string temporary = path + ".tmp-" + std::to_string(getpid());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      why = Errno("cannot create", temporary);
      return QvStoreStatus::Failed;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    const bool written = done == bytes.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
      why = Errno("cannot write", temporary);
      ::unlink(temporary.c_str());
      return QvStoreStatus::Failed;
    }
    // link() refuses an existing name, which rename() would replace.
    const int moved = overwrite ? ::rename(temporary.c_str(), path.c_str())
                                : ::link(temporary.c_str(), path.c_str());
    const int savedErrno = errno;
    if (!overwrite || moved != 0) ::unlink(temporary.c_str());
    if (moved != 0) {
      errno = savedErrno;
      why = Errno(savedErrno == EEXIST ? "will not replace" : "cannot write", path);
      return savedErrno == EEXIST ? QvStoreStatus::Exists : QvStoreStatus::Failed;
    }
    return QvStoreStatus::Ok;
  } catch (...) {
    return QvStoreStatus::Failed;
  }
}

QvStoreStatus QvReadKeyFile(const std::string& path, std::vector<std::uint8_t>* bytes,
                            std::string* error) {
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  try {
    if (bytes == nullptr || path.empty()) return QvStoreStatus::InvalidArgument;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      why = Errno("cannot open", path);
      return errno == ENOENT ? QvStoreStatus::NotFound : QvStoreStatus::Failed;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > static_cast<off_t>(kMaxKeyFileSize)) {
      ::close(fd);
      why = path + " is not a key file";
      return QvStoreStatus::InvalidArgument;
    }
    std::vector<std::uint8_t> out(kMaxKeyFileSize + 1);
    std::size_t done = 0;
    for (;;) {
      const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = Errno("cannot read", path);
        ::close(fd);
        return QvStoreStatus::Failed;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
      if (done == out.size()) break;
    }
    ::close(fd);
    if (done > kMaxKeyFileSize) {
      why = path + " is not a key file";
      return QvStoreStatus::InvalidArgument;
    }
    out.resize(done);
    *bytes = std::move(out);
    return QvStoreStatus::Ok;
  } catch (...) {
    return QvStoreStatus::Failed;
  }
}
