// Interface of the file-encryption library (libqvfsdll.so): the request record, the
// algorithm descriptor, the credentials, the cancel callback and every function the
// extension calls. Every call answers with a QvFsStatus.
//
// Each call may take long; callers run it on a worker thread and pump messages until it
// ends. The library checks IEncryDecryptCallBack::IsCancelled between units of work.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/WinTypes.h"
#include "suite/SuiteExport.h"

// The library's results: 0 for success, 1 to 19 for what went wrong, 507 when the caller's
// callback cancelled. The extension shows each with a message of its own and sets the same
// codes itself for the same conditions.
enum QvFsStatus : DWORD {
  StatusSuccess = 0,
  StatusMemoryError = 1,
  StatusFileAccessError = 2,
  StatusFileCrcError = 3,
  StatusWrongPassword = 4,
  StatusDecryptionError = 5,
  StatusNotAuthorized = 6,
  StatusEngineInitError = 7,
  StatusIntegrityError = 8,
  StatusAlreadyEncrypted = 10,
  StatusSourceInUse = 11,
  StatusDestinationInUse = 12,
  StatusNoData = 13,
  StatusDestinationExists = 14,
  StatusContainerError = 15,
  StatusIncompatibleFormat = 17,
  StatusIncompatibleFormat2 = 18,
  StatusUserNotAllowed = 19,
  StatusCancelled = 507,
};

// Algorithm descriptor: the user's algorithm name (setting 5/14, empty by default), the
// algorithm id and key length (setting 5/19, "hexid;hexlength"; 0x6602 and 0 by default).
struct EncryptAlgoInfo {
  char algorithmName[MAX_PATH];
  DWORD algorithmId;
  DWORD keyLength;
};
inline constexpr DWORD kDefaultAlgorithmId = 0x6602;

// An encrypted file is its plain name with this ending.
inline constexpr char kQvfFileSuffix[] = ".qvf";

// Cancel callback of the progress dialog; IsCancelled returns the dialog's cancel flag.
struct IEncryDecryptCallBack {
  virtual DWORD IsCancelled() = 0;

 protected:
  ~IEncryDecryptCallBack() = default;
};

// Size of a folder header buffer and of each growth step when a user is added.
inline constexpr DWORD kFolderHeaderCapacity = 2048;
// Owner texts ("{identity}name of the exported key file") fit this buffer.
inline constexpr DWORD kOwnerTextSize = 1024;

// The request record. Its layout is shared with callers built against the original
// library, so the field offsets are fixed (checked below).
struct QVData {
  DWORD folderHandle;  // written by the two folder init calls
  DWORD reserved0;
  const char* sourcePath;
  // Encryption: the destination file (source + ".qvf"); decryption: the destination folder.
  const char* destinationPath;
  const char* keyName;
  const char* keyName2;  // the key name again (decryption)
  DWORD decryptFlags;    // 0, or kDecryptIntoOwnFolder (folder decryption)
  BYTE reserved1[1020];
  BYTE* folderHeader;
  DWORD folderHeaderLength;  // in: capacity (2048); out: the length used
  char algorithmName[MAX_PATH];
  BYTE* keyBlob;
  DWORD keyBlobLength;
  DWORD reserved2;
  BYTE* credentials;
  DWORD credentialsLength;  // key name + label + 1
  BYTE reserved3[12];
  IEncryDecryptCallBack* callback;
  EncryptAlgoInfo algorithm;
};
static_assert(offsetof(QVData, folderHandle) == 0);
static_assert(offsetof(QVData, sourcePath) == 8);
static_assert(offsetof(QVData, destinationPath) == 16);
static_assert(offsetof(QVData, keyName) == 24);
static_assert(offsetof(QVData, keyName2) == 32);
static_assert(offsetof(QVData, decryptFlags) == 40);
static_assert(offsetof(QVData, folderHeader) == 1064);
static_assert(offsetof(QVData, folderHeaderLength) == 1072);
static_assert(offsetof(QVData, algorithmName) == 1076);
static_assert(offsetof(QVData, keyBlob) == 1336);
static_assert(offsetof(QVData, keyBlobLength) == 1344);
static_assert(offsetof(QVData, credentials) == 1352);
static_assert(offsetof(QVData, credentialsLength) == 1360);
static_assert(offsetof(QVData, callback) == 1376);
static_assert(offsetof(QVData, algorithm) == 1384);

// Credential block sizes, fixed per edition: the Sentivo edition's GUID key names with the
// label "DefaultKey" need 299 bytes, the other edition's user ids of up to 11 characters 13.
inline constexpr DWORD kCredentialSizeSentivo = 299;
inline constexpr DWORD kCredentialSizeStandard = 13;

// Fills a credential block: key name, NUL, then the label and NUL when the label is not
// empty. `length` receives key name + label + 1. Returns false, writing nothing, when the
// texts do not fit `capacity` bytes.
[[nodiscard]] inline bool FillCredentialBlock(BYTE* block, DWORD capacity, const char* keyName,
                                              const char* label, DWORD* length) {
  if (block == nullptr || keyName == nullptr || length == nullptr) return false;
  const size_t nameLength = std::strlen(keyName);
  const size_t labelLength = label != nullptr ? std::strlen(label) : 0;
  const size_t needed = nameLength + 1 + (labelLength != 0 ? labelLength + 1 : 0);
  if (needed > capacity) return false;
  std::memset(block, 0, capacity);
  std::memcpy(block, keyName, nameLength);
  if (labelLength != 0) std::memcpy(block + nameLength + 1, label, labelLength);
  *length = static_cast<DWORD>(nameLength + labelLength + 1);
  return true;
}

extern "C" {

// One file: encrypt source into destination (source + ".qvf"); decrypt source into the
// destination folder under the source name without ".qvf".
QV_SUITE_API DWORD QVFSEncryptFile(QVData* data);
QV_SUITE_API DWORD QVFSDecryptFile(QVData* data);

// Starts a folder: makes a folder key and writes the folder header (the protection record
// stored in the container) into `header` (capacity in *headerLength, used length out).
QV_SUITE_API DWORD QVFSInitFolderEncryption(EncryptAlgoInfo* algorithm, const char* keyName,
                                            const BYTE* keyBlob, DWORD keyBlobLength,
                                            const BYTE* credentials, DWORD credentialsLength,
                                            BYTE* header, DWORD* headerLength, DWORD* handle);
// Reopens a folder from its stored header.
QV_SUITE_API DWORD QVFSInitFolderDecryption(const BYTE* header, DWORD headerLength,
                                            const char* keyName, const char* keyName2,
                                            const BYTE* keyBlob, DWORD keyBlobLength,
                                            const BYTE* credentials, DWORD* credentialsLength,
                                            DWORD* handle);
// For QVData.decryptFlags of a file of a folder: the destination folder is the caller's own
// until the whole restore in it is complete (nobody else looks into it, and it is thrown
// away unless every file arrived), so the plain file is made under its name at once instead
// of being named only when whole; a call that fails removes what it made.
inline constexpr DWORD kDecryptIntoOwnFolder = 1;
// One file under a folder handle (data->folderHandle). Unlike the single-file calls these do
// not flush their output to disk: the caller flushes the container or the restored folder
// once, before it deletes anything the output replaces.
QV_SUITE_API DWORD QVFSFolderEncryptFile(QVData* data);
QV_SUITE_API DWORD QVFSFolderDecryptFile(QVData* data);
// The same for an image kept in a container at `storedPath` (its path inside the container)
// as version `version` of that entry: the image is bound to that place, and decryption at
// another path or version gives 8, so an image swapped with another entry's, copied to
// another entry or put back as an older version of its entry is found. A rename or a new
// version of the entry moves the image with QVFSFolderRebindFile (its header only is
// rewritten, 8 when the image is not at `fromPath`/`fromVersion`), in the same transaction
// as the entry's row. Images of the earlier format carry no place and open anywhere.
QV_SUITE_API DWORD QVFSFolderEncryptFileAt(QVData* data, const char* storedPath, ULONGLONG version);
QV_SUITE_API DWORD QVFSFolderDecryptFileAt(QVData* data, const char* storedPath, ULONGLONG version);
// QVFSFolderEncryptFileAt for a caller that stores the image itself: the image is made in
// memory, not at data->destinationPath, and on success *image (allocated with CoTaskMemAlloc,
// the caller's) holds its *length bytes. Only for a source of at most 1 MiB: 12 for a larger
// one, before anything is read, so that the caller can make the image on disk instead.
QV_SUITE_API DWORD QVFSFolderEncryptFileToMemoryAt(QVData* data, const char* storedPath,
                                                   ULONGLONG version, BYTE** image, DWORD* length);
// QVFSFolderDecryptFileAt for an image the caller holds in memory (`length` bytes, the whole
// image) instead of one at data->sourcePath, which still names the plain file to make. A null
// `storedPath`: an image of the earlier format, which carries no place. 12 for an image of the
// first format, before anything is made: it keeps no mode nor times of its own, so it is
// decrypted from a file, whose mode and last-write time stand in for them.
QV_SUITE_API DWORD QVFSFolderDecryptImageAt(QVData* data, const BYTE* image, DWORD length,
                                            const char* storedPath, ULONGLONG version);
QV_SUITE_API DWORD QVFSFolderRebindFile(DWORD handle, const char* imagePath, const char* fromPath,
                                        ULONGLONG fromVersion, const char* toPath,
                                        ULONGLONG toVersion);
// The same for an image held in memory from its first byte (`length` bytes, the whole header
// at least), as a container rebinds an image in the block it stores.
QV_SUITE_API DWORD QVFSFolderRebindImage(DWORD handle, BYTE* image, DWORD length,
                                         const char* fromPath, ULONGLONG fromVersion,
                                         const char* toPath, ULONGLONG toVersion);

// An image read chunk by chunk, for a caller that hands out its plain bytes as it reads them
// (a file leaving a container through a stream), so that no plain copy of the whole file is
// ever made. The header, held in `head` from the image's first byte (`length` bytes, the whole
// header at least), must open under folder `handle` at `storedPath`/`version` as for
// QVFSFolderDecryptFileAt (a null `storedPath`: an image of the earlier format, which carries no
// place). The chunks follow the header: every one `chunkSize` plain bytes and a tag of
// `tagSize` bytes, the last one shorter (possibly a tag alone). Close `reader` with
// QVFSCloseImageReader.
struct QvImageLayout {
  DWORD headerLength;
  DWORD chunkSize;
  DWORD tagSize;
};
QV_SUITE_API DWORD QVFSFolderOpenImageReader(DWORD handle, const BYTE* head, DWORD length,
                                             const char* storedPath, ULONGLONG version,
                                             QvImageLayout* layout, DWORD* reader);
// Checks chunk `index` (`length` bytes: its cipher text and its tag) and decrypts it in place,
// its plain bytes at the front; `last`: the image ends with it. 8 when the chunk is not the
// authentic chunk `index` of this image, or is last when it says it is not (or the reverse).
QV_SUITE_API DWORD QVFSImageReaderOpenChunk(DWORD reader, BYTE* chunk, DWORD length,
                                            ULONGLONG index, BOOL last);
QV_SUITE_API DWORD QVFSCloseImageReader(DWORD reader);

// The list of a container's files kept after the folder header in the stored record: its
// version (one more for every change), the number of entries, the first entry id whose image
// is bound to its place (entries before it may hold unbound images of the earlier format),
// the key epoch whose folder key hashes the entries, and the sum modulo 2^256 (little-endian)
// of QVFSFolderFileListEntry over every entry. The folder's current key epoch comes back in
// `currentEpoch`.
struct QvFileListState {
  ULONGLONG listVersion;
  ULONGLONG count;
  ULONGLONG firstBound;
  DWORD entryEpoch;
  DWORD currentEpoch;
  BYTE aggregate[32];
};
// Reads the list after the header in `record` (as the container stores it) under the folder
// handle: 0 when its MAC verifies, 19 when the record has none (an older container: its list
// is unverified; `currentEpoch` is still set), 8 when the MAC fails, 3 for bytes after the
// header that are no list, 4 when the record is the header of another folder.
QV_SUITE_API DWORD QVFSFolderReadFileList(DWORD handle, const BYTE* record, DWORD length,
                                          QvFileListState* state);
// Puts `state` (its list version, count, first bound id, entry epoch and aggregate) after the
// header in `record`, replacing a list there, with a MAC under the current folder key;
// *length is the record's length in and out, 1 when it does not fit `capacity` bytes.
QV_SUITE_API DWORD QVFSFolderWriteFileList(DWORD handle, BYTE* record, DWORD* length,
                                           DWORD capacity, const QvFileListState* state);
// The keyed hash of one entry of the list, its id and stored path, under the folder key of
// `entryEpoch` (8 when the handle has no key of that epoch).
QV_SUITE_API DWORD QVFSFolderFileListEntry(DWORD handle, DWORD entryEpoch, ULONGLONG entryId,
                                           const char* storedPath, BYTE hash[32]);
// Room a record needs for the list beyond its header.
inline constexpr DWORD kFileListSize = 104;

// Closes a folder handle and wipes its key.
QV_SUITE_API DWORD QVFSCloseHandle(DWORD handle);

// New key material for key `name`; on success (non-zero) *blob is allocated with
// CoTaskMemAlloc and belongs to the caller, *length is its size.
QV_SUITE_API BOOL CreatePKISettings(const char* name, DWORD* length, BYTE** blob);

// Owner text of an item: "{identity}" followed by the name of the owner's exported key
// file; `owner` holds kOwnerTextSize bytes.
QV_SUITE_API DWORD QVFSFileGetOwner(const char* path, char* owner);
QV_SUITE_API DWORD QVFSFolderGetOwner(const BYTE* header, DWORD* headerLength, char* owner);

// Sharing. IsValidUser returns 0 when the user may open the item. AddUser needs the acting
// user's key; the folder variant grows the header in place (capacity bytes available).
// RemoveUser refuses the last user; 19 when the acting user may not change the list.
QV_SUITE_API DWORD QVFSFileIsValidUser(const char* path, const char* userId, const char* keyName,
                                       const BYTE* keyBlob, DWORD keyBlobLength);
QV_SUITE_API DWORD QVFSFolderIsValidUser(const BYTE* header, DWORD headerLength, const char* userId,
                                         const char* keyName, const BYTE* keyBlob,
                                         DWORD keyBlobLength);
QV_SUITE_API DWORD QVFSFileAddUser(const char* path, const char* actingUserId,
                                   const char* actingKeyName, const BYTE* actingKeyBlob,
                                   DWORD actingKeyBlobLength, const char* algorithmName,
                                   const char* userId, const BYTE* userKeyBlob,
                                   DWORD userKeyBlobLength, const BYTE* userCredentials,
                                   DWORD userCredentialsLength, DWORD flags);
QV_SUITE_API DWORD QVFSFolderAddUser(BYTE* header, DWORD* headerLength, DWORD headerCapacity,
                                     const char* actingUserId, const char* actingKeyName,
                                     const BYTE* actingKeyBlob, DWORD actingKeyBlobLength,
                                     const char* algorithmName, const char* userId,
                                     const BYTE* userKeyBlob, DWORD userKeyBlobLength,
                                     const BYTE* userCredentials, DWORD userCredentialsLength,
                                     DWORD flags);
QV_SUITE_API DWORD QVFSFileRemoveUser(const char* path, const char* userId, const char* keyName,
                                      const BYTE* userKeyBlob, DWORD userKeyBlobLength,
                                      const char* actingUserId);
QV_SUITE_API DWORD QVFSFolderRemoveUser(BYTE* header, DWORD* headerLength, const char* userId,
                                        const char* keyName, const BYTE* userKeyBlob,
                                        DWORD userKeyBlobLength, const char* actingUserId);
// Removal as the owner, whose key pair signs the changed header (the calls above carry no
// key: they change only headers of older versions, and give 4 for a signed one).
QV_SUITE_API DWORD QVFSFileRemoveUserAsOwner(const char* path, const char* actingUserId,
                                             const char* actingKeyName, const BYTE* actingKeyBlob,
                                             DWORD actingKeyBlobLength, const char* userId,
                                             const char* keyName, const BYTE* userKeyBlob,
                                             DWORD userKeyBlobLength);
QV_SUITE_API DWORD QVFSFolderRemoveUserAsOwner(BYTE* header, DWORD* headerLength,
                                               const char* actingUserId, const char* actingKeyName,
                                               const BYTE* actingKeyBlob, DWORD actingKeyBlobLength,
                                               const char* userId, const char* keyName,
                                               const BYTE* userKeyBlob, DWORD userKeyBlobLength);
// Whether an item's owner is confirmed: 0 when its header is signed by the key of the owner it
// names; 19 when nothing confirms the owner (a header of an older version, or signed by a key
// only its owner can tie to the owner's key), so the owner text is to be shown as unverified;
// 8 when the signature fails (every call that reads the header then refuses it).
QV_SUITE_API DWORD QVFSFileCheckOwner(const char* path);
QV_SUITE_API DWORD QVFSFolderCheckOwner(const BYTE* header, DWORD headerLength);
// Files are added under a folder handle only when the folder's owner is confirmed and is the
// user who opened it, or after the caller has named the owner's key it knows (the owner's
// share key) here: 0 when the header is signed by that key, 19 otherwise (QVFSFolderEncryptFile
// then gives 19).
QV_SUITE_API DWORD QVFSFolderTrustOwner(DWORD handle, const BYTE* ownerKeyBlob,
                                        DWORD ownerKeyBlobLength);

// User list entries: u32, u32 length L, u32, then L bytes holding the user id and its NUL;
// *size is the buffer capacity in and the length used out.
QV_SUITE_API DWORD QVFSFileGetUserList(const char* path, BYTE* buffer, DWORD* size);
QV_SUITE_API DWORD QVFSFolderGetUserList(const BYTE* header, DWORD headerLength, BYTE* buffer,
                                         DWORD* size);
// 1 when the user is the item's owner (who may change its user list), 0 for anyone else, and
// the item's failure status (never 0) when its header cannot be read.
QV_SUITE_API DWORD QVFSFileChekIsPrivilegeUser(const char* userId, const char* path);
QV_SUITE_API DWORD QVFSFolderChekIsPrivilegeUser(const char* userId, const BYTE* header,
                                                 DWORD headerLength);

}  // extern "C"
