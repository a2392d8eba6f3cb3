// The folder key of a container, held for a change made outside an operation (the view's
// Rename and Delete). Bound to the store, it makes every change of files rewrite the list of
// the container's files in the same transaction and move each image with its row; a change
// made without it leaves rows the list does not hold, and no later decryption accepts such a
// container.
#pragma once

#include <string>

#include "container/QVDatabase.h"
#include "platform/WinTypes.h"

// Opens the folder key of the container at `path` for `userId` with the credentials an
// operation builds (the user id, or in the EDITION_SENTIVO edition the key's own name and
// label), and trusts the folder's owner as an operation does. The library's folder handle,
// which the caller closes with QVFSCloseHandle; 0 when the container's protection record
// cannot be read, the user has no key or the library refuses the user. Runs on the caller's
// thread.
[[nodiscard]] DWORD OpenContainerFolderKey(const std::string& path, const std::string& userId);

class HeldFolderKey {
 public:
  HeldFolderKey() = default;
  // Unbinds the key from the store (when it is still open) and closes it.
  ~HeldFolderKey();
  HeldFolderKey(const HeldFolderKey&) = delete;
  HeldFolderKey& operator=(const HeldFolderKey&) = delete;

  // Opens the key of the container at `path` for `userId` and binds it to `database`, which
  // is open on that container. False, with nothing bound, when the user has no key, the
  // library refuses the user, or the container's rows are not those it lists (nothing may then
  // change them). Runs on the caller's thread.
  [[nodiscard]] bool Bind(QVDatabase& database, const std::string& path, const std::string& userId);
  // The library's folder handle while bound (0 before), for images made under the folder key.
  [[nodiscard]] DWORD Handle() const { return handle_; }

 private:
  QVDatabase* database_ = nullptr;
  DWORD handle_ = 0;
};
