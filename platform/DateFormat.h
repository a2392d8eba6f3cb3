// Dates and times written the way the user's locale writes them (GetDateFormatA and
// GetTimeFormatA): the short date and the time of day of LC_TIME (the first non-empty of
// LC_ALL, LC_TIME and LANG; the "C" formats when that locale is not installed).
#pragma once

#include "platform/FileTime.h"
#include "platform/WinTypes.h"

inline constexpr DWORD DATE_SHORTDATE = 0x00000001;
inline constexpr DWORD TIME_NOSECONDS = 0x00000002;

// Only the short date is written (DATE_SHORTDATE). `locale` is accepted for source compatibility:
// every locale id means the user's LC_TIME. `format` must be null (the locale's own format is
// used). Writes the text and a NUL into `buffer` of `size` bytes and returns the bytes written with
// the NUL; with `size` 0 returns the size needed. 0 with ERROR_INSUFFICIENT_BUFFER when the text
// does not fit (nothing cut is handed out), ERROR_INVALID_PARAMETER for a null time, a time out of
// range or a format.
QV_API int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format,
                          LPSTR buffer, int size) noexcept;
QV_API int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format,
                          LPSTR buffer, int size) noexcept;
