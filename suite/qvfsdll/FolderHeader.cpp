// Folder headers and the handle table (see FolderHeader.h). Handles are small numbers that
// are never 0 and never reused while open; the table is shared by every thread of the
// process and guarded by one mutex, held only to look up, add or remove an entry.
#include "suite/qvfsdll/FolderHeader.h"

#include <sodium.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include "suite/qvfsdll/HandleTable.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {

namespace {

HandleTable<FolderState>& Handles() {
  static auto* table = new HandleTable<FolderState>;  // outlives every thread that may still call
  return *table;
}

}  // namespace

DWORD InitFolderEncryption(const EncryptAlgoInfo* algorithm, const char* keyName,
                           const BYTE* keyBlob, DWORD keyBlobLength, const BYTE* credentials,
                           DWORD credentialsLength, BYTE* header, DWORD* headerLength,
                           DWORD* handle) {
  if (header == nullptr || headerLength == nullptr || handle == nullptr) return StatusMemoryError;
  *handle = 0;
  UserKey user;
  const std::string name = ActingName(keyName, credentials, credentialsLength);
  if (!ParseKeyBlob(keyBlob, keyBlobLength, &user) || !user.hasSignKey || name.empty())
    return StatusWrongPassword;

  auto state = std::make_shared<FolderState>();
  KeyHeader& h = state->header;
  h.kind = Kind::Folder;
  SetAlgorithm(&h, algorithm != nullptr ? algorithm->algorithmName : nullptr,
               algorithm != nullptr ? algorithm->algorithmId : kDefaultAlgorithmId);
  h.itemId = RandomItemId();
  SetOwner(&h, name, user);
  state->folderKey = RandomKey();
  SealCore(&h, Family::Folder, state->folderKey);
  AddRecipient(&h, state->folderKey, name, user.publicKey);
  SignAsOwner(&h, Family::Folder, user);
  state->ownerTrust = OwnerTrust::Confirmed;
  state->openedByOwner = true;

  const std::vector<std::uint8_t> bytes = Encode(h, Family::Folder);
  if (bytes.size() > *headerLength) {
    *headerLength = static_cast<DWORD>(bytes.size());
    return StatusMemoryError;
  }
  std::memcpy(header, bytes.data(), bytes.size());
  *headerLength = static_cast<DWORD>(bytes.size());
  *handle = Handles().Add(std::move(state));
  return StatusSuccess;
}

DWORD InitFolderDecryption(const BYTE* header, DWORD headerLength, const char* keyName,
                           const BYTE* keyBlob, DWORD keyBlobLength, const BYTE* credentials,
                           const DWORD* credentialsLength, DWORD* handle) {
  if (handle == nullptr) return StatusMemoryError;
  *handle = 0;
  if (header == nullptr || headerLength == 0) return StatusNoData;
  auto state = std::make_shared<FolderState>();
  if (const DWORD status =
          Decode(std::span(header, headerLength), Family::Folder, &state->header, nullptr);
      status != StatusSuccess)
    return status;
  UserKey user;
  if (!ParseKeyBlob(keyBlob, keyBlobLength, &user)) return StatusWrongPassword;
  const std::string name =
      ActingName(keyName, credentials, credentialsLength != nullptr ? *credentialsLength : 0);
  if (const DWORD status =
          UnlockHeader(state->header, Family::Folder, user, name, &state->folderKey);
      status != StatusSuccess)
    return status;
  if (!OpenOlderKeys(state->header, state->folderKey, &state->olderKeys))
    return StatusIntegrityError;
  if (!AeadAvailable(state->header.aead)) return StatusEngineInitError;
  state->ownerTrust = CheckOwner(state->header, Family::Folder, &user);
  state->openedByOwner = user.publicKey == state->header.ownerKey;
  *handle = Handles().Add(std::move(state));
  return StatusSuccess;
}

DWORD TrustFolderOwner(DWORD handle, const BYTE* ownerKeyBlob, DWORD ownerKeyBlobLength) {
  const std::shared_ptr<const FolderState> state = Handles().Find(handle);
  if (state == nullptr) return StatusEngineInitError;
  UserKey owner;
  if (!ParseKeyBlob(ownerKeyBlob, ownerKeyBlobLength, &owner)) return StatusWrongPassword;
  if (state->ownerTrust != OwnerTrust::Confirmed || owner.publicKey != state->header.ownerKey ||
      CheckOwner(state->header, Family::Folder, nullptr) != OwnerTrust::Confirmed)
    return StatusUserNotAllowed;
  state->ownerKnown = true;
  return StatusSuccess;
}

DWORD ReadFileList(DWORD handle, std::span<const std::uint8_t> record, QvFileListState* state) {
  const std::shared_ptr<const FolderState> folder = Handles().Find(handle);
  if (folder == nullptr) return StatusEngineInitError;
  std::memset(state, 0, sizeof *state);
  state->currentEpoch = folder->header.keyEpoch;
  KeyHeader header;
  if (const DWORD status = Decode(record, Family::Folder, &header, nullptr);
      status != StatusSuccess)
    return status;
  if (header.itemId != folder->header.itemId) return StatusWrongPassword;
  std::optional<FileList> list;
  std::uint32_t headerLength = 0;
  if (const DWORD status = FindFileList(record, &list, &headerLength); status != StatusSuccess)
    return status;
  if (!list) return StatusUserNotAllowed;
  // The MAC is under the folder key of the handle, which is that of the stored header only
  // when the record is the one the handle was opened with.
  const Mac expected = FileListMac(folder->header, folder->folderKey, *list);
  if (header.keyEpoch != folder->header.keyEpoch ||
      sodium_memcmp(expected.data(), list->mac.data(), expected.size()) != 0)
    return StatusIntegrityError;
  state->listVersion = list->version;
  state->count = list->count;
  state->firstBound = list->firstBound;
  state->entryEpoch = list->entryEpoch;
  std::memcpy(state->aggregate, list->aggregate.data(), sizeof state->aggregate);
  return StatusSuccess;
}

DWORD WriteFileList(DWORD handle, BYTE* record, DWORD* length, DWORD capacity,
                    const QvFileListState& state) {
  const std::shared_ptr<const FolderState> folder = Handles().Find(handle);
  if (folder == nullptr) return StatusEngineInitError;
  KeyHeader header;
  std::uint32_t headerLength = 0;
  if (const DWORD status = Decode(std::span<const std::uint8_t>(record, *length), Family::Folder,
                                  &header, &headerLength);
      status != StatusSuccess)
    return status;
  if (header.itemId != folder->header.itemId || header.keyEpoch != folder->header.keyEpoch)
    return StatusWrongPassword;
  if (folder->KeyOfEpoch(state.entryEpoch) == nullptr) return StatusIntegrityError;
  FileList list;
  list.version = state.listVersion;
  list.count = state.count;
  list.firstBound = state.firstBound;
  list.entryEpoch = state.entryEpoch;
  std::memcpy(list.aggregate.data(), state.aggregate, list.aggregate.size());
  list.mac = FileListMac(folder->header, folder->folderKey, list);
  const std::vector<std::uint8_t> tail = EncodeFileList(list);
  if (headerLength + tail.size() > capacity) return StatusMemoryError;
  std::memcpy(record + headerLength, tail.data(), tail.size());
  *length = static_cast<DWORD>(headerLength + tail.size());
  return StatusSuccess;
}

DWORD FileListEntryOf(DWORD handle, DWORD entryEpoch, std::uint64_t entryId,
                      std::string_view storedPath, BYTE* hash) {
  const std::shared_ptr<const FolderState> folder = Handles().Find(handle);
  if (folder == nullptr) return StatusEngineInitError;
  const SecretKey* key = folder->KeyOfEpoch(entryEpoch);
  if (key == nullptr) return StatusIntegrityError;
  const Mac entry = FileListEntry(*key, entryId, storedPath);
  std::memcpy(hash, entry.data(), entry.size());
  return StatusSuccess;
}

DWORD CarryFileList(const std::optional<FileList>& list, const KeyHeader& before,
                    const SecretKey& oldKey, const KeyHeader& after, const SecretKey& newKey,
                    std::vector<std::uint8_t>* tail) {
  tail->clear();
  if (!list) return StatusSuccess;
  const Mac expected = FileListMac(before, oldKey, *list);
  if (sodium_memcmp(expected.data(), list->mac.data(), expected.size()) != 0)
    return StatusIntegrityError;
  FileList carried = *list;
  carried.mac = FileListMac(after, newKey, carried);
  *tail = EncodeFileList(carried);
  return StatusSuccess;
}

std::shared_ptr<const FolderState> FindFolder(DWORD handle) { return Handles().Find(handle); }

bool CloseFolder(DWORD handle) { return Handles().Remove(handle); }

}  // namespace qvfs
