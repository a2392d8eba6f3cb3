// Folder keys: the folder header a container stores (a key header of the folder family that
// wraps one random folder key for each user), and the table of open folder handles. Files
// under a folder handle carry no recipients of their own; their keys come from the folder
// key, so changing who may open the folder touches only the folder header.
#pragma once

#include <memory>

#include "platform/WinTypes.h"
#include "suite/QvFsApi.h"
#include "suite/qvfsdll/QvfFormat.h"

namespace qvfs {

// What an open folder handle holds. The key is wiped when the last user of the state lets
// go of it, which may be after the handle was closed.
struct FolderState {
  KeyHeader header;
  SecretKey folderKey;
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

// The state behind `handle`, or null when the handle is not open.
[[nodiscard]] std::shared_ptr<const FolderState> FindFolder(DWORD handle);
// Closes `handle`; false when it was not open.
[[nodiscard]] bool CloseFolder(DWORD handle);

}  // namespace qvfs
