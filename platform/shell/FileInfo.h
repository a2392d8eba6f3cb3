// The shell's file-information flags (SHGFI_*), as SHGetFileInfo takes them. The extension
// uses them to say which system image list it draws from: the small-icon list or the icon
// list the shell hands out for the system folder.
#pragma once

#include "platform/WinTypes.h"

inline constexpr UINT SHGFI_SMALLICON = 0x1;
inline constexpr UINT SHGFI_ICON = 0x100;
inline constexpr UINT SHGFI_SYSICONINDEX = 0x4000;
