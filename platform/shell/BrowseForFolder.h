// SHBrowseForFolderA: the folder chooser, as a dialog of the dialog framework (template
// kBrowseForFolderDialogId): the title above a field for the folder's path, OK and Cancel.
// Whichever back end runs shows it: the headless user types a path and presses OK, the
// terminal asks for the path. The chosen folder comes back as a list of file-system
// identifiers, whose path SHGetPathFromIDListA gives.
#pragma once

#include "platform/WinTypes.h"
#include "platform/shell/ItemIdList.h"

inline constexpr UINT kBrowseForFolderDialogId = 9401;
inline constexpr int kBrowseForFolderTitleId = 9410;
inline constexpr int kBrowseForFolderPathId = 9411;

// Only folders of the file system are offered (the only kind there is here).
inline constexpr UINT BIF_RETURNONLYFSDIRS = 0x00000001;

struct BROWSEINFOA {
  HWND hwndOwner;
  LPCITEMIDLIST pidlRoot;  // not used: every folder of the file system may be chosen
  LPSTR pszDisplayName;    // out, when given (MAX_PATH bytes): the chosen folder's last part
  LPCSTR lpszTitle;        // shown above the field
  UINT ulFlags;
  void* lpfn;  // callbacks are not offered; must be null
  LPARAM lParam;
  int iImage;  // out: -1, there is no image list here
};
using LPBROWSEINFOA = BROWSEINFOA*;

// Shows the chooser modally. The path typed may start with "~/" (the home folder) and is made
// absolute against the current folder; it must name an existing folder. Returns the folder's
// identifier list (the caller frees it with ILFree), or null when the user cancelled, the
// answer was no existing folder (ERROR_PATH_NOT_FOUND), or a callback was asked for
// (ERROR_NOT_SUPPORTED).
[[nodiscard]] QV_API LPITEMIDLIST SHBrowseForFolderA(LPBROWSEINFOA info) noexcept;
