// File encryption and decryption (see FileCrypto.h): the checks that give each result, the
// header of the new file, and the hand-over to the chunk stream.
#include "suite/qvfsdll/FileCrypto.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "suite/qvfsdll/FileIo.h"
#include "suite/qvfsdll/PayloadStream.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {

namespace {

constexpr char kQvfSuffix[] = ".qvf";

// How an output is published: a single file is flushed to disk before it gets its name, since
// the caller deletes its source next; a file of a folder is not, because the folder's caller
// flushes the container or the restored folder once for all its files.
enum class Flush { File, ByCaller };

// Writes `header` and the encrypted source into the destination of `data`.
DWORD WriteEncrypted(const QVData& data, const KeyHeader& header, const SecretKey& payloadKey,
                     Flush flush) {
  int fd = -1;
  mode_t mode = 0;
  if (const DWORD status = OpenSource(data.sourcePath, &fd, &mode); status != StatusSuccess)
    return status;
  const FileDescriptor source(fd);
  std::uint8_t start[kMagicSize];
  const ssize_t got = pread(fd, start, sizeof start, 0);
  if (got < 0) return StatusSourceInUse;
  if (StartsWithMagic(std::span(start, static_cast<std::size_t>(got)), Family::File))
    return StatusAlreadyEncrypted;
  if (data.destinationPath == nullptr || data.destinationPath[0] == '\0')
    return StatusDestinationInUse;

  OutputFile out;
  if (const DWORD status = out.Create(data.destinationPath); status != StatusSuccess) return status;
  const std::vector<std::uint8_t> bytes = Encode(header, Family::File);
  if (!WriteFull(out.fd(), bytes.data(), bytes.size())) return WriteFailure(errno);
  const ChunkCipher cipher(header.aead, payloadKey, header.itemId);
  if (const DWORD status = EncryptStream(fd, out.fd(), cipher, header.chunkSize, data.callback);
      status != StatusSuccess)
    return status;
  return out.Publish(mode, flush == Flush::File);
}

// Decrypts the payload of the open source `fd` (header already checked) into the
// destination of `data`.
DWORD WriteDecrypted(const QVData& data, int fd, mode_t mode, std::uint32_t headerLength,
                     const KeyHeader& header, const SecretKey& payloadKey, Flush flush) {
  if (!AeadAvailable(header.aead)) return StatusEngineInitError;
  const std::string target = DecryptedPath(data.sourcePath, data.destinationPath);
  if (target.empty()) return StatusDestinationInUse;
  OutputFile out;
  if (const DWORD status = out.Create(target); status != StatusSuccess) return status;
  if (lseek(fd, headerLength, SEEK_SET) < 0) return StatusSourceInUse;
  const ChunkCipher cipher(header.aead, payloadKey, header.itemId);
  if (const DWORD status = DecryptStream(fd, out.fd(), cipher, header.chunkSize, data.callback);
      status != StatusSuccess)
    return status;
  return out.Publish(mode, flush == Flush::File);
}

// Opens the stored file `data` names, reads its header and, when `unlock(header, &key)` gives
// StatusSuccess and the item key, writes the plain file under the payload key derived from it.
template <class Unlock>
DWORD DecryptStored(const QVData& data, Flush flush, Unlock&& unlock) {
  int fd = -1;
  mode_t mode = 0;
  if (const DWORD status = OpenSource(data.sourcePath, &fd, &mode); status != StatusSuccess)
    return status;
  const FileDescriptor source(fd);
  KeyHeader header;
  std::uint32_t headerLength = 0;
  if (const DWORD status = ReadHeader(fd, Family::File, &header, &headerLength);
      status != StatusSuccess)
    return status;
  SecretKey itemKey;
  if (const DWORD status = unlock(header, &itemKey); status != StatusSuccess) return status;
  return WriteDecrypted(data, fd, mode, headerLength, header, DerivePayloadKey(itemKey), flush);
}

}  // namespace

DWORD EncryptFile(const QVData& data) {
  UserKey user;
  const std::string name = ActingName(data.keyName, data.credentials, data.credentialsLength);
  if (!ParseKeyBlob(data.keyBlob, data.keyBlobLength, &user) || name.empty())
    return StatusWrongPassword;
  KeyHeader header;
  header.kind = Kind::File;
  SetAlgorithm(&header, data.algorithm.algorithmName, data.algorithm.algorithmId);
  header.itemId = RandomItemId();
  SetOwner(&header, name, user.publicKey);
  const SecretKey itemKey = RandomKey();
  SealCore(&header, Family::File, itemKey);
  AddRecipient(&header, itemKey, name, user.publicKey);
  return WriteEncrypted(data, header, DerivePayloadKey(itemKey), Flush::File);
}

DWORD DecryptFile(const QVData& data) {
  UserKey user;
  if (!ParseKeyBlob(data.keyBlob, data.keyBlobLength, &user)) return StatusWrongPassword;
  const std::string name = ActingName(data.keyName, data.credentials, data.credentialsLength);
  return DecryptStored(data, Flush::File,
                       [&](const KeyHeader& header, SecretKey* itemKey) -> DWORD {
                         // A file of a folder has no recipients: only its folder's key opens it.
                         if (header.kind != Kind::File) return StatusNotAuthorized;
                         return UnlockHeader(header, Family::File, user, name, itemKey);
                       });
}

DWORD EncryptFileInFolder(const QVData& data, const FolderState& folder) {
  const KeyHeader& owner = folder.header;
  KeyHeader header;
  header.kind = Kind::FolderFile;
  header.aead = owner.aead;
  header.chunkSize = owner.chunkSize;
  header.algorithmId = owner.algorithmId;
  header.algorithmName = owner.algorithmName;
  header.itemId = RandomItemId();
  header.folderId = owner.itemId;
  header.ownerKey = owner.ownerKey;
  header.ownerName = owner.ownerName;
  header.ownerIdentity = owner.ownerIdentity;
  header.ownerKeyFile = owner.ownerKeyFile;
  const SecretKey fileKey = DeriveFolderFileKey(folder.folderKey, owner.itemId, header.itemId);
  SealCore(&header, Family::File, fileKey);
  return WriteEncrypted(data, header, DerivePayloadKey(fileKey), Flush::ByCaller);
}

DWORD DecryptFileInFolder(const QVData& data, const FolderState& folder) {
  return DecryptStored(
      data, Flush::ByCaller, [&](const KeyHeader& header, SecretKey* fileKey) -> DWORD {
        if (header.kind != Kind::FolderFile || header.folderId != folder.header.itemId)
          return StatusWrongPassword;
        *fileKey = DeriveFolderFileKey(folder.folderKey, folder.header.itemId, header.itemId);
        return VerifyMacs(header, Family::File, *fileKey);
      });
}

std::string DecryptedPath(const char* sourcePath, const char* destinationFolder) {
  if (sourcePath == nullptr) return {};
  std::string name = NameOf(sourcePath);
  const std::size_t suffix = sizeof kQvfSuffix - 1;
  if (name.size() >= suffix && strcasecmp(name.c_str() + name.size() - suffix, kQvfSuffix) == 0)
    name.resize(name.size() - suffix);
  if (name.empty() || name == "." || name == "..") return {};
  std::string folder = destinationFolder != nullptr && destinationFolder[0] != '\0'
                           ? std::string(destinationFolder)
                           : FolderOf(sourcePath);
  if (folder.back() != '/') folder += '/';
  return folder + name;
}

}  // namespace qvfs
