// The shell's file information (SHGetFileInfoA) and the system image list behind it. The
// extension uses the SHGFI_* flags to say which list it draws from (small or large icons) and
// asks for the list index of a folder or of a file of a given name.
//
// On Linux an index stands for a freedesktop icon name: "folder" (and "folder-open") for a
// folder, and for a file the icon of its MIME type as the shared-mime-info databases of the
// XDG data folders give it by name ("report.pdf" -> application/pdf -> "application-pdf"),
// which includes the types registration writes for the encrypted files and containers. A name
// no glob matches gets "application-octet-stream". Indices are stable for the life of the
// process; the list only grows.
#pragma once

#include <string>

#include "platform/WinTypes.h"
#include "platform/ui/UiTypes.h"

inline constexpr UINT SHGFI_LARGEICON = 0x0;
inline constexpr UINT SHGFI_SMALLICON = 0x1;
inline constexpr UINT SHGFI_OPENICON = 0x2;
inline constexpr UINT SHGFI_USEFILEATTRIBUTES = 0x10;
inline constexpr UINT SHGFI_ICON = 0x100;
inline constexpr UINT SHGFI_DISPLAYNAME = 0x200;
inline constexpr UINT SHGFI_TYPENAME = 0x400;
inline constexpr UINT SHGFI_SYSICONINDEX = 0x4000;

struct SHFILEINFOA {
  HICON hIcon;
  int iIcon;
  DWORD dwAttributes;
  char szDisplayName[MAX_PATH];
  char szTypeName[80];
};

// With SHGFI_SYSICONINDEX: psfi->iIcon is the system image-list index for `path` and the
// result is non-zero (it stands for the list). With SHGFI_USEFILEATTRIBUTES the disk is not
// looked at: `fileAttributes` (FILE_ATTRIBUTE_DIRECTORY or not) and the name decide. Without
// it the path must exist. SHGFI_ICON also hands out the icon in hIcon; SHGFI_DISPLAYNAME gives
// the last path component and SHGFI_TYPENAME the type's description from the MIME database in
// the user's language ("Plain text document"), the MIME type itself where the database has
// none (both cut to their buffers, never inside a character).
// 0 on failure (a null path or record, a path that does not exist).
QV_API std::uintptr_t SHGetFileInfoA(LPCSTR path, DWORD fileAttributes, SHFILEINFOA* psfi,
                                     UINT cbFileInfo, UINT flags) noexcept;

// The freedesktop icon name of a system image-list index; empty for an index never handed out.
[[nodiscard]] QV_API std::string QvSystemIconName(int index);

// The MIME type the shared-mime-info globs give a file name ("" when none matches).
[[nodiscard]] QV_API std::string QvMimeTypeOfName(const std::string& name);

// The icon drawn for system index `index` at `size` pixels with `overlayResource` (an icon
// resource of the library) in overlay slot 1: one handle per combination, kept by the
// framework for the life of the process. Null for an unknown index.
[[nodiscard]] QV_API HICON QvSystemIconWithOverlay(int index, UINT size, UINT overlayResource);
