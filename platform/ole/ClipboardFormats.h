// Registered clipboard formats: a name turned into a format number that every party using the
// same name agrees on, and the names the shell exchanges files and drop effects under.
//
// Numbers of registered formats lie in 0xC000..0xFFFF, as on Windows; names compare without
// regard to ASCII case, so "filecontents" and "FileContents" are one format. The table lives
// in this process: a party in another process learns a format by its name, never its number.
#pragma once

#include "platform/ole/DataObject.h"

inline constexpr const char* CFSTR_FILEDESCRIPTORA = "FileGroupDescriptor";
inline constexpr const char* CFSTR_FILEDESCRIPTORW = "FileGroupDescriptorW";
inline constexpr const char* CFSTR_FILECONTENTS = "FileContents";
inline constexpr const char* CFSTR_PREFERREDDROPEFFECT = "Preferred DropEffect";
inline constexpr const char* CFSTR_PERFORMEDDROPEFFECT = "Performed DropEffect";

// The values exchanged as "Preferred DropEffect" and "Performed DropEffect".
inline constexpr DWORD DROPEFFECT_NONE = 0;
inline constexpr DWORD DROPEFFECT_COPY = 1;
inline constexpr DWORD DROPEFFECT_MOVE = 2;
inline constexpr DWORD DROPEFFECT_LINK = 4;

inline constexpr CLIPFORMAT kFirstRegisteredFormat = 0xC000;

// The format number for `name`, the same for every call with the same name; 0 with
// ERROR_INVALID_PARAMETER for a null or empty name or one longer than 255 bytes, and
// ERROR_NOT_ENOUGH_MEMORY when all 16384 numbers are taken.
QV_API UINT RegisterClipboardFormatA(LPCSTR name) noexcept;
QV_API UINT RegisterClipboardFormatW(LPCWSTR name) noexcept;

// The registered name of `format` copied into `buffer` of `cch` bytes (terminated, cut
// between whole characters when it does not fit); the bytes copied. 0 with
// ERROR_INVALID_PARAMETER for a format that is not registered or a missing buffer.
QV_API int GetClipboardFormatNameA(UINT format, LPSTR buffer, int cch) noexcept;
