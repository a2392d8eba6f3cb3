// Folder keys: the folder header a container stores (a key header of the folder family that
// wraps one random folder key for each user), and the table of open folder handles. Files
// under a folder handle carry no recipients of their own; their keys come from the folder
// key, so changing who may open the folder touches only the folder header.
#pragma once

#include <atomic>
#include <memory>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/qvfsdll/QvfFormat.h"
#include "suite/qvfsdll/UserKeys.h"

namespace qvfs {

// What an open folder handle holds. The key is wiped when the last user of the state lets
// go of it, which may be after the handle was closed.
struct FolderState {
  KeyHeader header;
  SecretKey folderKey;  // of the header's key epoch: new files use it
  // The folder keys of earlier epochs, for the files added before a user was removed.
  std::vector<std::pair<std::uint32_t, SecretKey>> olderKeys;
  // Files are added only under a header whose owner is confirmed (signed by the owner's key)
  // and is the user who opened it or a user the caller knows (TrustFolderOwner): whoever
  // holds the folder key reads every file added, so a header swapped in by someone else must
  // not receive new files.
  OwnerTrust ownerTrust = OwnerTrust::Unconfirmed;
  bool openedByOwner = false;
  mutable std::atomic<bool> ownerKnown{false};

  // The folder key of `epoch`, or null when the header has none: 8 for a file of a later
  // epoch than the header's, which means an older header was put back over a newer one.
  [[nodiscard]] const SecretKey* KeyOfEpoch(std::uint32_t epoch) const {
    if (epoch == header.keyEpoch) return &folderKey;
    for (const auto& [older, key] : olderKeys)
      if (older == epoch) return &key;
    return nullptr;
  }
  [[nodiscard]] bool MayAddFiles() const {
    return ownerTrust == OwnerTrust::Confirmed && (openedByOwner || ownerKnown.load());
  }
};

// Makes a folder key and its header for the acting user (see QVFSInitFolderEncryption): 4 for
// an unusable key or name; 1 when the header does not fit `*headerLength` bytes (which then
// receives the length needed).
[[nodiscard]] DWORD InitFolderEncryption(const EncryptAlgoInfo* algorithm, const char* keyName,
                                         const BYTE* keyBlob, DWORD keyBlobLength,
                                         const BYTE* credentials, DWORD credentialsLength,
                                         BYTE* header, DWORD* headerLength, DWORD* handle);
// Opens a stored folder header with the acting user's key (see Decode and UnlockHeader for
// the results; 18 for an unknown version).
[[nodiscard]] DWORD InitFolderDecryption(const BYTE* header, DWORD headerLength,
                                         const char* keyName, const BYTE* keyBlob,
                                         DWORD keyBlobLength, const BYTE* credentials,
                                         const DWORD* credentialsLength, DWORD* handle);

// Lets files be added under `handle` by a user who is not the folder's owner, once the caller
// has looked the owner up: `ownerKeyBlob` is the public key the caller knows for the owner
// (its share key). 0 when the header is signed by that key; 19 when it is not the owner's
// key or the owner cannot be confirmed (an older header); 7 for a handle that is not open;
// 4 for a blob that is no key.
[[nodiscard]] DWORD TrustFolderOwner(DWORD handle, const BYTE* ownerKeyBlob,
                                     DWORD ownerKeyBlobLength);

// The list of a container's files after the folder header in `record` (see QvFileListState
// in suite/QvFsApi.h for the results).
[[nodiscard]] DWORD ReadFileList(DWORD handle, std::span<const std::uint8_t> record,
                                 QvFileListState* state);
[[nodiscard]] DWORD WriteFileList(DWORD handle, BYTE* record, DWORD* length, DWORD capacity,
                                  const QvFileListState& state);
[[nodiscard]] DWORD FileListEntryOf(DWORD handle, DWORD entryEpoch, std::uint64_t entryId,
                                    std::string_view storedPath, BYTE* hash);
// A folder record changed under a new folder key (a user removed): its list, when it has one,
// is checked under the old key and its MAC made anew under the new one; 8 when it does not
// verify.
[[nodiscard]] DWORD CarryFileList(const std::optional<FileList>& list, const KeyHeader& before,
                                  const SecretKey& oldKey, const KeyHeader& after,
                                  const SecretKey& newKey, std::vector<std::uint8_t>* tail);

// The state behind `handle`, or null when the handle is not open.
[[nodiscard]] std::shared_ptr<const FolderState> FindFolder(DWORD handle);
// Closes `handle`; false when it was not open.
[[nodiscard]] bool CloseFolder(DWORD handle);

}  // namespace qvfs
