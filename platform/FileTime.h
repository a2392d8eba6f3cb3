// FILETIME and SYSTEMTIME with the conversions the extension uses: from and to Unix time,
// UTC to local file time and back, calendar fields, and MS-DOS date and time.
//
// A FILETIME counts 100-nanosecond ticks since 1601-01-01 00:00 UTC. Valid values are those
// up to 0x7FFFFFFFFFFFFFFF; every conversion refuses larger ones, as on Windows. The local
// file-time conversions apply the bias of the local zone (TZ honoured) that is in effect at
// the moment of the call, not the bias of the date being converted: a January and a July
// time are shifted by the same amount. File times stored in containers and shown to the
// user depend on that rule, so it is kept exactly.
#pragma once

#include <cstdint>

#include "platform/WinTypes.h"

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Ticks per second and the distance between 1601-01-01 and 1970-01-01 in seconds.
inline constexpr std::uint64_t kFileTimeTicksPerSecond = 10'000'000;
inline constexpr std::int64_t kFileTimeUnixEpochSeconds = 11'644'473'600;

inline constexpr std::uint64_t FileTimeToTicks(const FILETIME& ft) {
  return MakeUInt64(ft.dwHighDateTime, ft.dwLowDateTime);
}
inline constexpr FILETIME FileTimeFromTicks(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & 0xffffffffu), static_cast<DWORD>(ticks >> 32)};
}

// Unix time (seconds since 1970 and nanoseconds 0..999999999) to FILETIME. Fails with
// ERROR_INVALID_PARAMETER for times before 1601, beyond the valid FILETIME range or with
// nanoseconds out of range. Sub-tick nanoseconds are truncated.
[[nodiscard]] QV_API BOOL UnixTimeToFileTime(std::int64_t seconds, std::int64_t nanoseconds,
                                             FILETIME* out) noexcept;
// FILETIME to Unix time; nanoseconds are always 0..999999999 (seconds round towards the past).
[[nodiscard]] QV_API BOOL FileTimeToUnixTime(const FILETIME* in, std::int64_t* seconds,
                                             std::int64_t* nanoseconds) noexcept;

QV_API void GetSystemTimeAsFileTime(FILETIME* out) noexcept;

// UTC <-> local with the bias in effect now (see above).
[[nodiscard]] QV_API BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept;
[[nodiscard]] QV_API BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept;

// Calendar fields of a FILETIME (no zone conversion). SystemTimeToFileTime ignores wDayOfWeek
// and fails with ERROR_INVALID_PARAMETER for fields out of range (years 1601..30827).
[[nodiscard]] QV_API BOOL FileTimeToSystemTime(const FILETIME* in, SYSTEMTIME* out) noexcept;
[[nodiscard]] QV_API BOOL SystemTimeToFileTime(const SYSTEMTIME* in, FILETIME* out) noexcept;

// MS-DOS date (bits 9-15 year - 1980, 5-8 month, 0-4 day) and time (bits 11-15 hour, 5-10
// minute, 0-4 seconds / 2). No zone conversion: callers pass local file times. Years outside
// 1980..2107 and invalid fields fail with ERROR_INVALID_PARAMETER; odd seconds round down.
[[nodiscard]] QV_API BOOL FileTimeToDosDateTime(const FILETIME* in, WORD* dosDate,
                                                WORD* dosTime) noexcept;
[[nodiscard]] QV_API BOOL DosDateTimeToFileTime(WORD dosDate, WORD dosTime, FILETIME* out) noexcept;

// -1, 0 or 1 as the first time is earlier than, equal to or later than the second.
QV_API LONG CompareFileTime(const FILETIME* a, const FILETIME* b) noexcept;
