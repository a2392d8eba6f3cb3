// Helpers shared by the file-encryption library's tests: users with real key pairs, request
// records that keep their texts alive, a scripted cancel callback, a fixture with work folders,
// and the few facts of the stored .qvf format (offsets, chunk size, checksum) that tests need
// to damage files on purpose.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Ole.h"
#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "tests/common/TestRoot.h"

namespace qvtest {

// The stored format: 1 MiB chunks, a 16-byte tag each; the header length at offset 12; the
// cipher id at offset 17; a 16-byte unkeyed checksum closing the header.
inline constexpr std::size_t kChunk = 1u << 20;
inline constexpr std::size_t kTag = 16;
inline constexpr std::size_t kChecksum = 16;

inline std::uint32_t HeaderLength(const std::string& bytes) {
  std::uint32_t length = 0;
  for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<std::uint8_t>(bytes.at(12 + i));
  return length;
}

// Recomputes the checksum of a header at the start of `bytes`, as an editor without any key
// can.
inline void FixChecksum(std::string& bytes) {
  const std::uint32_t length = HeaderLength(bytes);
  auto* data = reinterpret_cast<unsigned char*>(bytes.data());
  crypto_generichash(data + length - kChecksum, kChecksum, data, length - kChecksum, nullptr, 0);
}

inline void FixChecksum(std::vector<BYTE>& bytes) {
  std::string text(bytes.begin(), bytes.end());
  FixChecksum(text);
  bytes.assign(text.begin(), text.end());
}

// A user: a name and a key pair made by the library.
struct User {
  std::string name;
  std::vector<BYTE> blob;

  static User Make(const std::string& name) {
    User user{name, {}};
    DWORD length = 0;
    BYTE* blob = nullptr;
    EXPECT_TRUE(CreatePKISettings(name.c_str(), &length, &blob));
    if (blob != nullptr) user.blob.assign(blob, blob + length);
    CoTaskMemFree(blob);
    return user;
  }
  // The blob others share with: the public key only.
  std::vector<BYTE> PublicOnly() const {
    std::vector<BYTE> out = blob;
    if (out.size() != kKeyBlobSize) return out;
    out[5] = 0;
    std::fill(out.begin() + kKeyBlobSecretOffset, out.end(), 0);
    return out;
  }
  // The X25519 key that receives item keys, derived from the blob's signing key.
  std::vector<BYTE> BoxPublicKey() const {
    std::vector<BYTE> out(crypto_box_PUBLICKEYBYTES, 0);
    EXPECT_EQ(crypto_sign_ed25519_pk_to_curve25519(out.data(), blob.data() + kKeyBlobPublicOffset),
              0);
    return out;
  }
  // The same name with another key pair, as after a new enrolment.
  User Rekeyed() const { return Make(name); }
};

// Counts the calls and reports a cancel from call `cancelAt` on (never when 0).
class ScriptedCancel : public IEncryDecryptCallBack {
 public:
  explicit ScriptedCancel(int cancelAt = 0) : cancelAt_(cancelAt) {}
  DWORD IsCancelled() override {
    ++calls;
    return cancelAt_ != 0 && calls >= cancelAt_ ? 1 : 0;
  }
  int calls = 0;

 private:
  int cancelAt_;
};

// A QVData with its texts held here.
class Request {
 public:
  Request(const User& user, const std::string& source, const std::string& destination,
          IEncryDecryptCallBack* callback = nullptr)
      : user_(user), source_(source), destination_(destination) {
    data_.sourcePath = source_.c_str();
    data_.destinationPath = destination_.empty() ? nullptr : destination_.c_str();
    data_.keyName = user_.name.c_str();
    data_.keyName2 = user_.name.c_str();
    data_.keyBlob = user_.blob.data();
    data_.keyBlobLength = static_cast<DWORD>(user_.blob.size());
    EXPECT_TRUE(FillCredentialBlock(credentials_, sizeof credentials_, user_.name.c_str(),
                                    "DefaultKey", &data_.credentialsLength));
    data_.credentials = credentials_;
    data_.callback = callback;
    data_.algorithm.algorithmId = kDefaultAlgorithmId;
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  Request& Algorithm(const char* name) {
    std::snprintf(data_.algorithm.algorithmName, sizeof data_.algorithm.algorithmName, "%s", name);
    return *this;
  }
  Request& Folder(DWORD handle) {
    data_.folderHandle = handle;
    return *this;
  }
  QVData* get() { return &data_; }

 private:
  User user_;
  std::string source_, destination_;
  BYTE credentials_[kCredentialSizeSentivo] = {};
  QVData data_{};
};

// Starts a folder encryption as `user` into a header buffer of `capacity` bytes, cut to the
// header's length when it succeeds; *reported gets the length the library reported.
inline DWORD InitFolderEncryption(const User& user, std::vector<BYTE>* header, DWORD* handle,
                                  DWORD capacity = kFolderHeaderCapacity,
                                  const char* algorithm = "", DWORD* reported = nullptr) {
  EncryptAlgoInfo info{};
  std::snprintf(info.algorithmName, sizeof info.algorithmName, "%s", algorithm);
  info.algorithmId = kDefaultAlgorithmId;
  BYTE credentials[kCredentialSizeSentivo];
  DWORD credentialsLength = 0;
  EXPECT_TRUE(FillCredentialBlock(credentials, sizeof credentials, user.name.c_str(), "DefaultKey",
                                  &credentialsLength));
  header->assign(capacity, 0);
  DWORD length = capacity;
  const DWORD status = QVFSInitFolderEncryption(&info, user.name.c_str(), user.blob.data(),
                                                static_cast<DWORD>(user.blob.size()), credentials,
                                                credentialsLength, header->data(), &length, handle);
  header->resize(status == 0 ? length : 0);
  if (reported != nullptr) *reported = length;
  return status;
}

// Opens the folder header `header` as `user`. The handle is set to a value the library never
// hands out first, so a call that fails without writing it is not mistaken for an open.
inline DWORD InitFolderDecryption(const User& user, const BYTE* header, std::size_t size,
                                  DWORD* handle) {
  BYTE credentials[kCredentialSizeSentivo];
  DWORD credentialsLength = 0;
  EXPECT_TRUE(FillCredentialBlock(credentials, sizeof credentials, user.name.c_str(), "DefaultKey",
                                  &credentialsLength));
  *handle = 12345;
  return QVFSInitFolderDecryption(
      header, static_cast<DWORD>(size), user.name.c_str(), user.name.c_str(), user.blob.data(),
      static_cast<DWORD>(user.blob.size()), credentials, &credentialsLength, handle);
}

inline DWORD InitFolderDecryption(const User& user, const std::vector<BYTE>& header,
                                  DWORD* handle) {
  return InitFolderDecryption(user, header.data(), header.size(), handle);
}

inline DWORD InitFolderDecryption(const User& user, const std::string& header, DWORD* handle) {
  return InitFolderDecryption(user, reinterpret_cast<const BYTE*>(header.data()), header.size(),
                              handle);
}

// Adds `user`, by the public key others share, to the file at `path` as `acting`.
inline DWORD AddUserToFile(const std::string& path, const User& acting, const User& user) {
  const std::vector<BYTE> shared = user.PublicOnly();
  return QVFSFileAddUser(path.c_str(), acting.name.c_str(), acting.name.c_str(), acting.blob.data(),
                         static_cast<DWORD>(acting.blob.size()), "", user.name.c_str(),
                         shared.data(), static_cast<DWORD>(shared.size()),
                         reinterpret_cast<const BYTE*>(user.name.c_str()),
                         static_cast<DWORD>(user.name.size() + 1), 0);
}

// A test with two folders of its own root: `dir_` for the plain files it makes and `out_` for
// decrypted output.
class QvfWorkTest : public RootedTest {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    dir_ = root_.Sub("work");
    out_ = root_.Sub("out");
    std::filesystem::create_directories(dir_);
    std::filesystem::create_directories(out_);
  }
  // Writes `content` to `name` in the work folder and returns its path.
  std::string Plain(const std::string& name, const std::string& content) {
    const std::string path = dir_ + "/" + name;
    WriteTextFile(path, content);
    return path;
  }
  // Writes `content` to `name` in the work folder and encrypts it as `owner`; the .qvf path.
  std::string EncryptedBy(const User& owner, const std::string& name, const std::string& content) {
    const std::string path = Plain(name, content);
    Request request(owner, path, path + ".qvf");
    EXPECT_EQ(QVFSEncryptFile(request.get()), 0u);
    return path + ".qvf";
  }

  std::string dir_, out_;
};

inline std::string RandomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  randombytes_buf(bytes.data(), size);
  return bytes;
}

// The names in a folder, sorted; temporary files included, so tests see leftovers.
inline std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// One parsed user-list entry.
struct ListEntry {
  std::uint32_t flags;
  std::uint32_t keyTag;
  std::string name;
};

inline std::vector<ListEntry> ParseList(const BYTE* buffer, DWORD size) {
  std::vector<ListEntry> entries;
  DWORD offset = 0;
  auto u32 = [&](DWORD at) {
    std::uint32_t v;
    std::memcpy(&v, buffer + at, 4);
    return v;
  };
  while (offset + 12 <= size) {
    const std::uint32_t length = u32(offset + 4);
    EXPECT_LE(offset + 12 + length, size);
    EXPECT_EQ(buffer[offset + 12 + length - 1], 0) << "entry not terminated";
    entries.push_back({u32(offset), u32(offset + 8),
                       std::string(reinterpret_cast<const char*>(buffer + offset + 12))});
    offset += 12 + length;
  }
  EXPECT_EQ(offset, size);
  return entries;
}

inline std::vector<std::string> NamesOf(const std::vector<ListEntry>& entries) {
  std::vector<std::string> names;
  for (const ListEntry& entry : entries) names.push_back(entry.name);
  return names;
}

inline std::vector<std::string> FileUsers(const std::string& path) {
  std::vector<BYTE> buffer(4096);
  DWORD size = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(QVFSFileGetUserList(path.c_str(), buffer.data(), &size), 0u);
  return NamesOf(ParseList(buffer.data(), size));
}

}  // namespace qvtest
