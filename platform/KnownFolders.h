// The folders of this system that stand for the Windows locations the extension treats as
// protected or asks for by name.
//
// Roles (the Windows folder each one stands for):
//   Windows       /usr            the Windows directory (GetWindowsDirectoryA)
//   System        /usr/bin        the system directory
//   ProgramFiles  /opt            the "ProgramFilesDir" folder
//   Profiles      /home           the profiles folder ("Documents and Settings"); callers
//                                 compare a path with it for equality only, since every
//                                 user's own folders lie below it
//   UserConfig    $XDG_CONFIG_HOME or ~/.config       roaming application data (CSIDL 26)
//   UserData      $XDG_DATA_HOME or ~/.local/share    local application data (CSIDL 28)
//   UserCache     $XDG_CACHE_HOME or ~/.cache         Internet cache and cookies (CSIDL 32, 33)
//   UserState     $XDG_STATE_HOME or ~/.local/state   history (CSIDL 34)
// The machine-wide folders (common documents and application data, CSIDL 46 and 35) have
// no per-user equivalent here; the system folders below cover /etc and /opt.
//
// Paths come back without a trailing "/". An XDG variable holding a relative path is
// ignored, as the XDG base directory rules require.
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

enum class KnownFolder {
  Windows,
  System,
  ProgramFiles,
  Profiles,
  UserConfig,
  UserData,
  UserCache,
  UserState,
};

// False (ERROR_INVALID_PARAMETER, or ERROR_PATH_NOT_FOUND when no home folder is known) when
// the folder cannot be named; the folder need not exist.
[[nodiscard]] QV_API bool GetKnownFolderPath(KnownFolder folder, std::string& out) noexcept;

// The operating system's own folders, where nothing may be encrypted: /usr, /bin, /sbin,
// /lib, /lib32, /lib64, /libx32, /etc, /boot and /opt.
QV_API std::vector<std::string> SystemFolders();

// Every folder a path must not lie in (as a prefix): the system folders, the product's
// install folder `installFolder` (skipped when empty) and the per-user configuration, data,
// cache and state folders. The profiles folder is not included: it is compared for equality.
QV_API std::vector<std::string> ProtectedFolders(const std::string& installFolder);

// "/usr" into `buffer`; returns its length, or the size needed when it does not fit.
[[nodiscard]] QV_API UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) noexcept;
