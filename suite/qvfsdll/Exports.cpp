// The exported functions of libqvfsdll.so (suite/QvFsApi.h). Each one checks its arguments,
// makes sure the crypto library is initialised, and turns anything thrown inside into a
// status, so no exception crosses the library boundary: running out of memory or threads is
// 1, anything else 7. A folder handle that is not open is 7 as well.
#include <sodium.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/Guarded.h"
#include "platform/Ole.h"
#include "suite/QvFsApi.h"
#include "suite/QvKeyBlob.h"
#include "suite/qvfsdll/FileCrypto.h"
#include "suite/qvfsdll/FileIo.h"
#include "suite/qvfsdll/FolderHeader.h"
#include "suite/qvfsdll/ImageReader.h"
#include "suite/qvfsdll/PayloadStream.h"
#include "suite/qvfsdll/Sharing.h"

using namespace qvfs;

namespace {

// Every export runs its body through this: the crypto library initialised first, then the
// platform guard (::Guarded) with this library's status codes.
template <class Body>
DWORD Guarded(Body&& body) noexcept {
  return ::Guarded(
      [&]() -> DWORD {
        if (sodium_init() < 0) return StatusEngineInitError;
        return body();
      },
      [](EscapedException kind) {
        return kind == EscapedException::Other ? StatusEngineInitError : StatusMemoryError;
      });
}

// Runs `body` on the header of the .qvf file at `path`. A header whose owner signature fails
// is refused (8) before anything of it is shown or changed.
template <class Body>
DWORD WithFileHeader(const char* path, Body&& body) {
  return Guarded([&]() -> DWORD {
    KeyHeader header;
    std::uint32_t length = 0;
    if (const DWORD status = ReadHeaderAt(path, Family::File, &header, &length);
        status != StatusSuccess)
      return status;
    if (CheckOwner(header, Family::File, nullptr) == OwnerTrust::Forged)
      return StatusIntegrityError;
    return body(header, length);
  });
}

// Runs `body` on the folder header held in `bytes`.
template <class Body>
DWORD WithFolderHeader(const BYTE* bytes, DWORD length, Body&& body) {
  return Guarded([&]() -> DWORD {
    if (bytes == nullptr || length == 0) return StatusNoData;
    KeyHeader header;
    if (const DWORD status = Decode(std::span(bytes, length), Family::Folder, &header, nullptr);
        status != StatusSuccess)
      return status;
    if (CheckOwner(header, Family::Folder, nullptr) == OwnerTrust::Forged)
      return StatusIntegrityError;
    return body(header);
  });
}

// Writes a changed folder header back into the caller's buffer of `capacity` bytes, with the
// list of the container's files (`tail`) after it when the record has one.
DWORD StoreFolderHeader(const KeyHeader& header, const std::vector<std::uint8_t>& tail, BYTE* bytes,
                        DWORD* length, DWORD capacity) {
  std::vector<std::uint8_t> encoded = Encode(header, Family::Folder);
  encoded.insert(encoded.end(), tail.begin(), tail.end());
  if (encoded.size() > capacity) return StatusMemoryError;
  std::memcpy(bytes, encoded.data(), encoded.size());
  if (encoded.size() < *length) std::memset(bytes + encoded.size(), 0, *length - encoded.size());
  *length = static_cast<DWORD>(encoded.size());
  return StatusSuccess;
}

// Runs `edit(header, family, &changed)` on the header of the .qvf file at `path` and rewrites
// the header when the edit succeeded and left `changed` true (its starting value).
template <class Edit>
DWORD EditFileHeader(const char* path, Edit&& edit) {
  return WithFileHeader(path, [&](KeyHeader& header, std::uint32_t length) -> DWORD {
    bool changed = true;
    if (const DWORD status = edit(header, Family::File, &changed);
        status != StatusSuccess || !changed)
      return status;
    return RewriteHeader(path, Encode(header, Family::File), length);
  });
}

// The same for a folder header held in the caller's buffer of `capacity` bytes. The list of
// the container's files after it stays as it is, unless the edit gave the folder a new key
// (`change`): the list then moves to the new key.
template <class Edit>
DWORD EditFolderHeader(BYTE* bytes, DWORD* length, DWORD capacity, Edit&& edit) {
  return WithFolderHeader(bytes, *length, [&](KeyHeader& header) -> DWORD {
    std::optional<FileList> list;
    std::uint32_t headerLength = 0;
    if (const DWORD status = FindFileList(std::span(bytes, *length), &list, &headerLength);
        status != StatusSuccess)
      return status;
    const KeyHeader before = header;
    bool changed = true;
    KeyChange change;
    if (const DWORD status = edit(header, Family::Folder, &changed, &change);
        status != StatusSuccess || !changed)
      return status;
    std::vector<std::uint8_t> tail(bytes + headerLength, bytes + *length);
    if (change.replaced) {
      if (const DWORD status =
              CarryFileList(list, before, change.oldKey, header, change.newKey, &tail);
          status != StatusSuccess)
        return status;
    }
    return StoreFolderHeader(header, tail, bytes, length, capacity);
  });
}

TargetUser Target(const char* userId, const char* keyName, const BYTE* keyBlob, DWORD keyBlobLength,
                  const BYTE* credentials = nullptr, DWORD credentialsLength = 0) {
  TargetUser user;
  user.userId = userId;
  user.keyName = keyName;
  user.keyBlob = keyBlob;
  user.keyBlobLength = keyBlobLength;
  user.credentials = credentials;
  user.credentialsLength = credentialsLength;
  return user;
}

ActingUser Acting(const char* userId, const char* keyName, const BYTE* keyBlob,
                  DWORD keyBlobLength) {
  ActingUser user;
  user.userId = userId;
  user.keyName = keyName;
  user.keyBlob = keyBlob;
  user.keyBlobLength = keyBlobLength;
  return user;
}

}  // namespace

DWORD QVFSEncryptFile(QVData* data) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&] { return EncryptFile(*data); });
}

DWORD QVFSDecryptFile(QVData* data) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&] { return DecryptFile(*data); });
}

DWORD QVFSInitFolderEncryption(EncryptAlgoInfo* algorithm, const char* keyName, const BYTE* keyBlob,
                               DWORD keyBlobLength, const BYTE* credentials,
                               DWORD credentialsLength, BYTE* header, DWORD* headerLength,
                               DWORD* handle) {
  return Guarded([&] {
    return InitFolderEncryption(algorithm, keyName, keyBlob, keyBlobLength, credentials,
                                credentialsLength, header, headerLength, handle);
  });
}

DWORD QVFSInitFolderDecryption(const BYTE* header, DWORD headerLength, const char* keyName,
                               const char* /*keyName2: the same name again*/, const BYTE* keyBlob,
                               DWORD keyBlobLength, const BYTE* credentials,
                               DWORD* credentialsLength, DWORD* handle) {
  return Guarded([&] {
    return InitFolderDecryption(header, headerLength, keyName, keyBlob, keyBlobLength, credentials,
                                credentialsLength, handle);
  });
}

DWORD QVFSFolderEncryptFile(QVData* data) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&]() -> DWORD {
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    return EncryptFileInFolder(*data, *folder);
  });
}

DWORD QVFSFolderDecryptFile(QVData* data) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&]() -> DWORD {
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    return DecryptFileInFolder(*data, *folder);
  });
}

namespace {

// The place a caller names; false for a path that no container keeps.
bool PlaceOf(const char* storedPath, ULONGLONG version, Place* place) {
  if (storedPath == nullptr) return false;
  place->path.assign(storedPath, strnlen(storedPath, kMaxPlacePathLength + 1));
  place->version = version;
  return place->path.size() <= kMaxPlacePathLength;
}

}  // namespace

DWORD QVFSFolderEncryptFileAt(QVData* data, const char* storedPath, ULONGLONG version) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&]() -> DWORD {
    Place place;
    if (!PlaceOf(storedPath, version, &place)) return StatusDestinationInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    return EncryptFileInFolder(*data, *folder, &place);
  });
}

DWORD QVFSFolderEncryptFileToMemoryAt(QVData* data, const char* storedPath, ULONGLONG version,
                                      BYTE** image, DWORD* length) {
  if (data == nullptr || image == nullptr || length == nullptr) return StatusSourceInUse;
  *image = nullptr;
  *length = 0;
  return Guarded([&]() -> DWORD {
    Place place;
    if (!PlaceOf(storedPath, version, &place)) return StatusDestinationInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    std::vector<std::uint8_t> bytes;
    if (const DWORD status = EncryptFileInFolder(*data, *folder, &place, &bytes);
        status != StatusSuccess)
      return status;
    auto* out = static_cast<BYTE*>(CoTaskMemAlloc(bytes.size()));
    if (out == nullptr) return StatusMemoryError;
    std::memcpy(out, bytes.data(), bytes.size());
    *image = out;
    *length = static_cast<DWORD>(bytes.size());
    return StatusSuccess;
  });
}

DWORD QVFSFolderDecryptFileAt(QVData* data, const char* storedPath, ULONGLONG version) {
  if (data == nullptr) return StatusSourceInUse;
  return Guarded([&]() -> DWORD {
    Place place;
    if (!PlaceOf(storedPath, version, &place)) return StatusSourceInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    return DecryptFileInFolder(*data, *folder, &place);
  });
}

DWORD QVFSFolderDecryptImageAt(QVData* data, const BYTE* image, DWORD length,
                               const char* storedPath, ULONGLONG version) {
  if (data == nullptr || image == nullptr) return StatusSourceInUse;
  return Guarded([&]() -> DWORD {
    Place place;
    if (storedPath != nullptr && !PlaceOf(storedPath, version, &place)) return StatusSourceInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(data->folderHandle);
    if (folder == nullptr) return StatusEngineInitError;
    return DecryptImageInFolder(*data, *folder, std::span(image, length),
                                storedPath != nullptr ? &place : nullptr);
  });
}

DWORD QVFSFolderRebindFile(DWORD handle, const char* imagePath, const char* fromPath,
                           ULONGLONG fromVersion, const char* toPath, ULONGLONG toVersion) {
  return Guarded([&]() -> DWORD {
    Place from, to;
    if (imagePath == nullptr || !PlaceOf(fromPath, fromVersion, &from) ||
        !PlaceOf(toPath, toVersion, &to))
      return StatusSourceInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(handle);
    if (folder == nullptr) return StatusEngineInitError;
    return RebindFileInFolder(imagePath, *folder, from, to);
  });
}

DWORD QVFSFolderRebindImage(DWORD handle, BYTE* image, DWORD length, const char* fromPath,
                            ULONGLONG fromVersion, const char* toPath, ULONGLONG toVersion) {
  return Guarded([&]() -> DWORD {
    Place from, to;
    if (image == nullptr || !PlaceOf(fromPath, fromVersion, &from) ||
        !PlaceOf(toPath, toVersion, &to))
      return StatusSourceInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(handle);
    if (folder == nullptr) return StatusEngineInitError;
    return RebindImageInFolder(std::span(image, length), *folder, from, to);
  });
}

DWORD QVFSFolderOpenImageReader(DWORD handle, const BYTE* head, DWORD length,
                                const char* storedPath, ULONGLONG version, QvImageLayout* layout,
                                DWORD* reader) {
  if (head == nullptr || layout == nullptr || reader == nullptr) return StatusMemoryError;
  return Guarded([&]() -> DWORD {
    Place place;
    if (storedPath != nullptr && !PlaceOf(storedPath, version, &place)) return StatusSourceInUse;
    const std::shared_ptr<const FolderState> folder = FindFolder(handle);
    if (folder == nullptr) return StatusEngineInitError;
    return OpenImageReader(std::span(head, length), *folder,
                           storedPath != nullptr ? &place : nullptr, layout, reader);
  });
}

DWORD QVFSImageReaderOpenChunk(DWORD reader, BYTE* chunk, DWORD length, ULONGLONG index,
                               BOOL last) {
  if (chunk == nullptr) return StatusMemoryError;
  return Guarded(
      [&] { return OpenImageChunk(reader, std::span(chunk, length), index, last != FALSE); });
}

DWORD QVFSCloseImageReader(DWORD reader) {
  return Guarded([&] { return CloseImageReader(reader) ? StatusSuccess : StatusDecryptionError; });
}

DWORD QVFSFolderReadFileList(DWORD handle, const BYTE* record, DWORD length,
                             QvFileListState* state) {
  if (state == nullptr) return StatusMemoryError;
  return Guarded([&]() -> DWORD {
    if (record == nullptr || length == 0) return StatusNoData;
    return ReadFileList(handle, std::span(record, length), state);
  });
}

DWORD QVFSFolderWriteFileList(DWORD handle, BYTE* record, DWORD* length, DWORD capacity,
                              const QvFileListState* state) {
  if (record == nullptr || length == nullptr || state == nullptr || *length > capacity)
    return StatusMemoryError;
  return Guarded([&] { return WriteFileList(handle, record, length, capacity, *state); });
}

DWORD QVFSFolderFileListEntry(DWORD handle, DWORD entryEpoch, ULONGLONG entryId,
                              const char* storedPath, BYTE hash[32]) {
  if (hash == nullptr) return StatusMemoryError;
  return Guarded([&]() -> DWORD {
    Place place;
    if (!PlaceOf(storedPath, entryId, &place)) return StatusSourceInUse;
    return FileListEntryOf(handle, entryEpoch, entryId, place.path, hash);
  });
}

DWORD QVFSCloseHandle(DWORD handle) {
  return Guarded([&] { return CloseFolder(handle) ? StatusSuccess : StatusEngineInitError; });
}

BOOL CreatePKISettings(const char* /*name: the key pair does not depend on it*/, DWORD* length,
                       BYTE** blob) {
  if (length == nullptr || blob == nullptr) return FALSE;
  *length = 0;
  *blob = nullptr;
  if (sodium_init() < 0) return FALSE;
  auto* out = static_cast<BYTE*>(CoTaskMemAlloc(kKeyBlobSize));
  if (out == nullptr) return FALSE;
  std::memset(out, 0, kKeyBlobSize);
  std::memcpy(out, "QVKB", 4);
  out[4] = kKeyBlobVersion;
  out[5] = kKeyBlobHasSecret;
  // The signing key pair; the key pair that receives item keys is derived from it.
  std::uint8_t secret[crypto_sign_SECRETKEYBYTES];
  randombytes_buf(out + kKeyBlobSecretOffset, crypto_sign_SEEDBYTES);
  crypto_sign_seed_keypair(out + kKeyBlobPublicOffset, secret, out + kKeyBlobSecretOffset);
  sodium_memzero(secret, sizeof secret);
  *length = static_cast<DWORD>(kKeyBlobSize);
  *blob = out;
  return TRUE;
}

DWORD QVFSFileGetOwner(const char* path, char* owner) {
  if (owner == nullptr) return StatusMemoryError;
  owner[0] = '\0';
  return WithFileHeader(
      path, [&](const KeyHeader& header, std::uint32_t) { return WriteOwner(header, owner); });
}

DWORD QVFSFolderGetOwner(const BYTE* header, DWORD* headerLength, char* owner) {
  if (owner == nullptr || headerLength == nullptr) return StatusMemoryError;
  owner[0] = '\0';
  return WithFolderHeader(header, *headerLength,
                          [&](const KeyHeader& parsed) { return WriteOwner(parsed, owner); });
}

DWORD QVFSFileIsValidUser(const char* path, const char* userId, const char* keyName,
                          const BYTE* keyBlob, DWORD keyBlobLength) {
  return WithFileHeader(path, [&](const KeyHeader& header, std::uint32_t) {
    return CheckUser(header, Family::File, Target(userId, keyName, keyBlob, keyBlobLength));
  });
}

DWORD QVFSFolderIsValidUser(const BYTE* header, DWORD headerLength, const char* userId,
                            const char* keyName, const BYTE* keyBlob, DWORD keyBlobLength) {
  return WithFolderHeader(header, headerLength, [&](const KeyHeader& parsed) {
    return CheckUser(parsed, Family::Folder, Target(userId, keyName, keyBlob, keyBlobLength));
  });
}

DWORD QVFSFileAddUser(const char* path, const char* actingUserId, const char* actingKeyName,
                      const BYTE* actingKeyBlob, DWORD actingKeyBlobLength,
                      const char* /*algorithmName: an item keeps the cipher it was made with*/,
                      const char* userId, const BYTE* userKeyBlob, DWORD userKeyBlobLength,
                      const BYTE* userCredentials, DWORD userCredentialsLength, DWORD /*flags*/) {
  const ActingUser acting = Acting(actingUserId, actingKeyName, actingKeyBlob, actingKeyBlobLength);
  const TargetUser target = Target(userId, nullptr, userKeyBlob, userKeyBlobLength, userCredentials,
                                   userCredentialsLength);
  return EditFileHeader(path, [&](KeyHeader& header, Family family, bool* changed) {
    return AddUser(&header, family, acting, target, changed);
  });
}

DWORD QVFSFolderAddUser(BYTE* header, DWORD* headerLength, DWORD headerCapacity,
                        const char* actingUserId, const char* actingKeyName,
                        const BYTE* actingKeyBlob, DWORD actingKeyBlobLength,
                        const char* /*algorithmName*/, const char* userId, const BYTE* userKeyBlob,
                        DWORD userKeyBlobLength, const BYTE* userCredentials,
                        DWORD userCredentialsLength, DWORD /*flags*/) {
  if (headerLength == nullptr || *headerLength > headerCapacity) return StatusMemoryError;
  const ActingUser acting = Acting(actingUserId, actingKeyName, actingKeyBlob, actingKeyBlobLength);
  const TargetUser target = Target(userId, nullptr, userKeyBlob, userKeyBlobLength, userCredentials,
                                   userCredentialsLength);
  return EditFolderHeader(header, headerLength, headerCapacity,
                          [&](KeyHeader& parsed, Family family, bool* changed, KeyChange*) {
                            return AddUser(&parsed, family, acting, target, changed);
                          });
}

DWORD QVFSFileRemoveUser(const char* path, const char* userId, const char* keyName,
                         const BYTE* userKeyBlob, DWORD userKeyBlobLength,
                         const char* actingUserId) {
  return QVFSFileRemoveUserAsOwner(path, actingUserId, nullptr, nullptr, 0, userId, keyName,
                                   userKeyBlob, userKeyBlobLength);
}

DWORD QVFSFolderRemoveUser(BYTE* header, DWORD* headerLength, const char* userId,
                           const char* keyName, const BYTE* userKeyBlob, DWORD userKeyBlobLength,
                           const char* actingUserId) {
  return QVFSFolderRemoveUserAsOwner(header, headerLength, actingUserId, nullptr, nullptr, 0,
                                     userId, keyName, userKeyBlob, userKeyBlobLength);
}

DWORD QVFSFileRemoveUserAsOwner(const char* path, const char* actingUserId,
                                const char* actingKeyName, const BYTE* actingKeyBlob,
                                DWORD actingKeyBlobLength, const char* userId, const char* keyName,
                                const BYTE* userKeyBlob, DWORD userKeyBlobLength) {
  const ActingUser acting = Acting(actingUserId, actingKeyName, actingKeyBlob, actingKeyBlobLength);
  const TargetUser target = Target(userId, keyName, userKeyBlob, userKeyBlobLength);
  return WithFileHeader(path, [&](KeyHeader& header, std::uint32_t length) -> DWORD {
    const KeyHeader before = header;
    KeyChange change;
    if (const DWORD status =
            RemoveUser(&header, Family::File, target, actingUserId, &acting, &change);
        status != StatusSuccess)
      return status;
    const std::vector<std::uint8_t> encoded = Encode(header, Family::File);
    if (!change.replaced) return RewriteHeader(path, encoded, length);
    // The payload moves to the new item key, chunk by chunk, into the replacement file.
    const ChunkCipher from(before.aead, DerivePayloadKey(change.oldKey), before.itemId);
    const ChunkCipher to(header.aead, DerivePayloadKey(change.newKey), header.itemId);
    return RewriteFile(path, encoded, length, [&](int in, int out) {
      return ReencryptStream(in, out, from, to, header.chunkSize, nullptr);
    });
  });
}

DWORD QVFSFolderRemoveUserAsOwner(BYTE* header, DWORD* headerLength, const char* actingUserId,
                                  const char* actingKeyName, const BYTE* actingKeyBlob,
                                  DWORD actingKeyBlobLength, const char* userId,
                                  const char* keyName, const BYTE* userKeyBlob,
                                  DWORD userKeyBlobLength) {
  if (headerLength == nullptr) return StatusMemoryError;
  const ActingUser acting = Acting(actingUserId, actingKeyName, actingKeyBlob, actingKeyBlobLength);
  const TargetUser target = Target(userId, keyName, userKeyBlob, userKeyBlobLength);
  return EditFolderHeader(header, headerLength, *headerLength,
                          [&](KeyHeader& parsed, Family family, bool*, KeyChange* change) {
                            return RemoveUser(&parsed, family, target, actingUserId, &acting,
                                              change);
                          });
}

DWORD QVFSFileCheckOwner(const char* path) {
  return WithFileHeader(path, [&](const KeyHeader& header, std::uint32_t) -> DWORD {
    return CheckOwner(header, Family::File, nullptr) == OwnerTrust::Confirmed
               ? StatusSuccess
               : StatusUserNotAllowed;
  });
}

DWORD QVFSFolderCheckOwner(const BYTE* header, DWORD headerLength) {
  return WithFolderHeader(header, headerLength, [&](const KeyHeader& parsed) -> DWORD {
    return CheckOwner(parsed, Family::Folder, nullptr) == OwnerTrust::Confirmed
               ? StatusSuccess
               : StatusUserNotAllowed;
  });
}

DWORD QVFSFolderTrustOwner(DWORD handle, const BYTE* ownerKeyBlob, DWORD ownerKeyBlobLength) {
  return Guarded([&] { return TrustFolderOwner(handle, ownerKeyBlob, ownerKeyBlobLength); });
}

DWORD QVFSFileGetUserList(const char* path, BYTE* buffer, DWORD* size) {
  if (size == nullptr) return StatusMemoryError;
  const DWORD capacity = *size;
  *size = 0;
  return WithFileHeader(path, [&](const KeyHeader& header, std::uint32_t) {
    *size = capacity;
    return WriteUserList(header, buffer, size);
  });
}

DWORD QVFSFolderGetUserList(const BYTE* header, DWORD headerLength, BYTE* buffer, DWORD* size) {
  if (size == nullptr) return StatusMemoryError;
  const DWORD capacity = *size;
  *size = 0;
  return WithFolderHeader(header, headerLength, [&](const KeyHeader& parsed) {
    *size = capacity;
    return WriteUserList(parsed, buffer, size);
  });
}

namespace {

// The privilege check's answer as its callers read it: 1 for the owner, 0 for anyone else.
DWORD PrivilegeAnswer(const KeyHeader& header, const char* userId) {
  return CheckPrivilege(header, userId) == StatusSuccess ? 1 : 0;
}

}  // namespace

DWORD QVFSFileChekIsPrivilegeUser(const char* userId, const char* path) {
  return WithFileHeader(path, [&](const KeyHeader& header, std::uint32_t) {
    return PrivilegeAnswer(header, userId);
  });
}

DWORD QVFSFolderChekIsPrivilegeUser(const char* userId, const BYTE* header, DWORD headerLength) {
  return WithFolderHeader(header, headerLength,
                          [&](const KeyHeader& parsed) { return PrivilegeAnswer(parsed, userId); });
}
