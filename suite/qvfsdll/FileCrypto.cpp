// File encryption and decryption (see FileCrypto.h): the checks that give each result, the
// header of the new file, and the hand-over to the chunk stream.
#include "suite/qvfsdll/FileCrypto.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "suite/qvfsdll/FileIo.h"
#include "suite/qvfsdll/PayloadStream.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {

namespace {

// How an output is published: a single file is flushed to disk before it gets its name, since
// the caller deletes its source next; a file of a folder is not, because the folder's caller
// flushes the container or the restored folder once for all its files.
enum class Flush { File, ByCaller };

// A plain file opened for encryption, with what its header keeps of it.
struct PlainSource {
  PlainSource() = default;
  PlainSource(const PlainSource&) = delete;
  PlainSource& operator=(const PlainSource&) = delete;
  ~PlainSource() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  PlainFacts facts;
};

FileTime TimeOf(const timespec& time) {
  return FileTime{static_cast<std::int64_t>(time.tv_sec), static_cast<std::uint32_t>(time.tv_nsec)};
}

timespec TimespecOf(const FileTime& time) {
  timespec out{};
  out.tv_sec = static_cast<time_t>(time.seconds);
  out.tv_nsec = static_cast<long>(time.nanoseconds);
  return out;
}

// Opens the source of `data` and reads its mode and times before any of it is read, so the
// access time kept is the user's, not the encryption's. 11, or 10 when it is a .qvf file.
DWORD OpenPlainSource(const QVData& data, PlainSource* source) {
  mode_t mode = 0;
  if (const DWORD status = OpenSource(data.sourcePath, &source->fd, &mode); status != StatusSuccess)
    return status;
  const int fd = source->fd;
  struct stat facts {};
  if (fstat(fd, &facts) != 0) return StatusSourceInUse;
  source->facts.mode = static_cast<std::uint16_t>(mode);
  source->facts.modified = TimeOf(facts.st_mtim);
  source->facts.accessed = TimeOf(facts.st_atim);
  std::uint8_t start[kMagicSize];
  const ssize_t got = pread(fd, start, sizeof start, 0);
  if (got < 0) return StatusSourceInUse;
  if (StartsWithMagic(std::span(start, static_cast<std::size_t>(got)), Family::File))
    return StatusAlreadyEncrypted;
  return StatusSuccess;
}

// Writes `header` and the encrypted source into the destination of `data`. The .qvf file
// takes the source's mode.
DWORD WriteEncrypted(const QVData& data, const PlainSource& source, const KeyHeader& header,
                     const SecretKey& payloadKey, Flush flush) {
  if (data.destinationPath == nullptr || data.destinationPath[0] == '\0')
    return StatusDestinationInUse;
  OutputFile out;
  if (const DWORD status = out.Create(data.destinationPath); status != StatusSuccess) return status;
  const std::vector<std::uint8_t> bytes = Encode(header, Family::File);
  if (!WriteFull(out.fd(), bytes.data(), bytes.size())) return WriteFailure(errno);
  const ChunkCipher cipher(header.aead, payloadKey, header.itemId);
  if (const DWORD status =
          EncryptStream(source.fd, out.fd(), cipher, header.chunkSize, data.callback);
      status != StatusSuccess)
    return status;
  return out.Publish(source.facts.mode, flush == Flush::File);
}

// The open stored file `fd` with its mode and last-write time.
struct StoredSource {
  int fd = -1;
  mode_t mode = 0;
  timespec modified{};
};

// Decrypts the payload of the stored file (header already checked) into the destination of
// `data`: `payload(out, cipher)` writes the plain bytes into `out`. The plain file gets the mode
// and times its header keeps. Without them (a file of version 1) its mode is the stored file's
// less the umask, never wider than a new file would be; a file of a folder then takes the
// stored file's last-write time, which is its container entry's (the container sets it on
// every image it extracts).
template <class Payload>
DWORD WriteDecrypted(const QVData& data, const StoredSource& source, const KeyHeader& header,
                     const SecretKey& payloadKey, Flush flush, Payload payload) {
  if (!AeadAvailable(header.aead)) return StatusEngineInitError;
  const std::string target = DecryptedPath(data.sourcePath, data.destinationPath);
  if (target.empty()) return StatusDestinationInUse;
  // The umask narrows the mode as it does for every new file: a file made private by its
  // user's umask stays private whatever mode the header asks for.
  const mode_t mode = header.plain ? header.plain->mode : source.mode;
  OutputFile out;
  if (const DWORD status =
          (data.decryptFlags & kDecryptIntoOwnFolder) != 0 && flush == Flush::ByCaller
              ? out.CreateInOwnFolder(target, mode)
              : out.Create(target, mode);
      status != StatusSuccess)
    return status;
  const ChunkCipher cipher(header.aead, payloadKey, header.itemId);
  if (const DWORD status = payload(out.fd(), cipher); status != StatusSuccess) return status;
  if (header.plain) {
    const timespec times[2] = {TimespecOf(header.plain->accessed),
                               TimespecOf(header.plain->modified)};
    if (futimens(out.fd(), times) != 0) return StatusDestinationInUse;
  } else if (header.kind == Kind::FolderFile) {
    // Only the last-write time: the image has been read before this call, so its access
    // time is no longer its entry's.
    timespec times[2] = {{}, source.modified};
    times[0].tv_nsec = UTIME_OMIT;
    if (futimens(out.fd(), times) != 0) return StatusDestinationInUse;
  }
  return out.PublishNarrowed(flush == Flush::File);
}

// Opens the stored file `data` names, reads its header and, when `unlock(header, &key)` gives
// StatusSuccess and the item key, writes the plain file under the payload key derived from it.
template <class Unlock>
DWORD DecryptStored(const QVData& data, Flush flush, Unlock&& unlock) {
  StoredSource stored;
  if (const DWORD status = OpenSource(data.sourcePath, &stored.fd, &stored.mode);
      status != StatusSuccess)
    return status;
  const FileDescriptor owned(stored.fd);
  struct stat facts {};
  if (fstat(stored.fd, &facts) != 0) return StatusSourceInUse;
  stored.modified = facts.st_mtim;
  KeyHeader header;
  std::uint32_t headerLength = 0;
  if (const DWORD status = ReadHeader(stored.fd, Family::File, &header, &headerLength);
      status != StatusSuccess)
    return status;
  SecretKey itemKey;
  if (const DWORD status = unlock(header, &itemKey); status != StatusSuccess) return status;
  return WriteDecrypted(data, stored, header, DerivePayloadKey(itemKey), flush,
                        [&](int out, const ChunkCipher& cipher) -> DWORD {
                          if (lseek(stored.fd, headerLength, SEEK_SET) < 0)
                            return StatusSourceInUse;
                          return DecryptStream(stored.fd, out, cipher, header.chunkSize,
                                               data.callback);
                        });
}

// The file key of an image under `folder`, its MACs checked at `place`.
DWORD UnlockInFolder(const KeyHeader& header, const FolderState& folder, const Place* place,
                     SecretKey* fileKey) {
  if (const DWORD status = FolderFileKey(header, folder, fileKey); status != StatusSuccess)
    return status;
  return VerifyMacs(header, Family::File, *fileKey, place);
}

}  // namespace

DWORD EncryptFile(const QVData& data) {
  UserKey user;
  const std::string name = ActingName(data.keyName, data.credentials, data.credentialsLength);
  // The owner signs the header, so a key without its secret half cannot make one.
  if (!ParseKeyBlob(data.keyBlob, data.keyBlobLength, &user) || !user.hasSignKey || name.empty())
    return StatusWrongPassword;
  PlainSource source;
  if (const DWORD status = OpenPlainSource(data, &source); status != StatusSuccess) return status;
  KeyHeader header;
  header.kind = Kind::File;
  header.plain = source.facts;
  SetAlgorithm(&header, data.algorithm.algorithmName, data.algorithm.algorithmId);
  header.itemId = RandomItemId();
  SetOwner(&header, name, user);
  const SecretKey itemKey = RandomKey();
  SealCore(&header, Family::File, itemKey);
  AddRecipient(&header, itemKey, name, user.publicKey);
  SignAsOwner(&header, Family::File, user);
  return WriteEncrypted(data, source, header, DerivePayloadKey(itemKey), Flush::File);
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

DWORD EncryptFileInFolder(const QVData& data, const FolderState& folder, const Place* place,
                          std::vector<std::uint8_t>* image) {
  if (!folder.MayAddFiles()) return StatusUserNotAllowed;
  PlainSource source;
  if (const DWORD status = OpenPlainSource(data, &source); status != StatusSuccess) return status;
  const KeyHeader& owner = folder.header;
  KeyHeader header;
  header.kind = Kind::FolderFile;
  header.plain = source.facts;
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
  header.ownerSignKey = owner.ownerSignKey;
  header.keyEpoch = owner.keyEpoch;
  const SecretKey fileKey = DeriveFolderFileKey(folder.folderKey, owner.itemId, header.itemId);
  SealCore(&header, Family::File, fileKey, place);
  if (image == nullptr)
    return WriteEncrypted(data, source, header, DerivePayloadKey(fileKey), Flush::ByCaller);
  *image = Encode(header, Family::File);
  const ChunkCipher cipher(header.aead, DerivePayloadKey(fileKey), header.itemId);
  return EncryptStreamToMemory(source.fd, image, cipher, header.chunkSize, data.callback);
}

DWORD FolderFileKey(const KeyHeader& header, const FolderState& folder, SecretKey* fileKey) {
  if (header.kind != Kind::FolderFile || header.folderId != folder.header.itemId)
    return StatusWrongPassword;
  const SecretKey* folderKey = folder.KeyOfEpoch(header.keyEpoch);
  if (folderKey == nullptr) return StatusIntegrityError;
  *fileKey = DeriveFolderFileKey(*folderKey, folder.header.itemId, header.itemId);
  return StatusSuccess;
}

DWORD DecryptFileInFolder(const QVData& data, const FolderState& folder, const Place* place) {
  return DecryptStored(data, Flush::ByCaller,
                       [&](const KeyHeader& header, SecretKey* fileKey) -> DWORD {
                         return UnlockInFolder(header, folder, place, fileKey);
                       });
}

DWORD DecryptImageInFolder(const QVData& data, const FolderState& folder,
                           std::span<const std::uint8_t> image, const Place* place) {
  KeyHeader header;
  std::uint32_t headerLength = 0;
  if (const DWORD status = Decode(image, Family::File, &header, &headerLength);
      status != StatusSuccess)
    return status;
  // Such an image takes its mode and time from the file it is read from.
  if (!header.plain) return StatusDestinationInUse;
  SecretKey fileKey;
  if (const DWORD status = UnlockInFolder(header, folder, place, &fileKey); status != StatusSuccess)
    return status;
  return WriteDecrypted(data, StoredSource{}, header, DerivePayloadKey(fileKey), Flush::ByCaller,
                        [&](int out, const ChunkCipher& cipher) {
                          return DecryptMemoryStream(image.subspan(headerLength), out, cipher,
                                                     header.chunkSize, data.callback);
                        });
}

namespace {

// Moves a decoded image header from place `from` to place `to`: the header's MACs must hold
// at `from`, and its core is sealed again for `to`. *moved is false for an image of the
// earlier format, which carries no place and is left as it is.
DWORD MoveHeaderPlace(KeyHeader* header, const FolderState& folder, const Place& from,
                      const Place& to, bool* moved) {
  *moved = false;
  SecretKey fileKey;
  if (const DWORD status = FolderFileKey(*header, folder, &fileKey); status != StatusSuccess)
    return status;
  if (!header->signedFormat) return StatusSuccess;
  if (const DWORD status = VerifyMacs(*header, Family::File, fileKey, &from);
      status != StatusSuccess)
    return status;
  SealCore(header, Family::File, fileKey, &to);
  *moved = true;
  return StatusSuccess;
}

}  // namespace

DWORD RebindFileInFolder(const char* imagePath, const FolderState& folder, const Place& from,
                         const Place& to) {
  KeyHeader header;
  std::uint32_t length = 0;
  bool moved = false;
  if (const DWORD status = ReadHeaderAt(imagePath, Family::File, &header, &length);
      status != StatusSuccess)
    return status;
  if (const DWORD status = MoveHeaderPlace(&header, folder, from, to, &moved);
      status != StatusSuccess || !moved)
    return status;
  return RewriteHeader(imagePath, Encode(header, Family::File), length);
}

DWORD RebindImageInFolder(std::span<std::uint8_t> image, const FolderState& folder,
                          const Place& from, const Place& to) {
  KeyHeader header;
  std::uint32_t length = 0;
  bool moved = false;
  if (const DWORD status = Decode(image, Family::File, &header, &length); status != StatusSuccess)
    return status;
  if (const DWORD status = MoveHeaderPlace(&header, folder, from, to, &moved);
      status != StatusSuccess || !moved)
    return status;
  const std::vector<std::uint8_t> encoded = Encode(header, Family::File);
  if (encoded.size() != length) return StatusFileCrcError;
  std::memcpy(image.data(), encoded.data(), encoded.size());
  return StatusSuccess;
}

std::string DecryptedPath(const char* sourcePath, const char* destinationFolder) {
  if (sourcePath == nullptr) return {};
  std::string name = NameOf(sourcePath);
  const std::size_t suffix = sizeof kQvfFileSuffix - 1;
  if (name.size() >= suffix && strcasecmp(name.c_str() + name.size() - suffix, kQvfFileSuffix) == 0)
    name.resize(name.size() - suffix);
  if (name.empty() || name == "." || name == "..") return {};
  std::string folder = destinationFolder != nullptr && destinationFolder[0] != '\0'
                           ? std::string(destinationFolder)
                           : FolderOf(sourcePath);
  if (folder.back() != '/') folder += '/';
  return folder + name;
}

}  // namespace qvfs
