// FILETIME arithmetic on a proleptic Gregorian calendar, the local bias read from the C
// library's zone data, and the MS-DOS packing of dates and times.
#include "platform/FileTime.h"

#include <time.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "platform/LastError.h"

namespace {

constexpr std::uint64_t kMaxTicks =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr std::uint64_t kTicksPerDay = kFileTimeTicksPerSecond * 86400;
// Days from 1970-01-01 back to 1601-01-01.
constexpr std::int64_t kEpochDays = kFileTimeUnixEpochSeconds / 86400;

BOOL Fail() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// Days since 1970-01-01 of a civil date (valid for every year of the FILETIME range).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

static_assert(DaysFromCivil(1601, 1, 1) == -kEpochDays);

constexpr bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr unsigned DaysInMonth(unsigned y, unsigned m) {
  constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Offset of local time from UTC, in seconds, in effect right now.
std::int64_t CurrentLocalOffsetSeconds() {
  // tzset reads the zone again (it looks at /etc/localtime each time), so the answer is kept
  // for the rest of the second, per thread, unless TZ changes: storing many files asks for it
  // several times per file.
  struct Known {
    time_t second = -1;
    std::string tz;
    bool tzSet = false;
    std::int64_t offset = 0;
  };
  thread_local Known known;
  const time_t now = time(nullptr);
  const char* tz = std::getenv("TZ");
  if (now == known.second && (tz != nullptr) == known.tzSet && (tz == nullptr || known.tz == tz))
    return known.offset;
  // localtime_r does not re-read TZ by itself; tzset makes a changed TZ count.
  tzset();
  struct tm local {};
  if (localtime_r(&now, &local) == nullptr) return 0;
  known = Known{now, tz != nullptr ? tz : "", tz != nullptr, local.tm_gmtoff};
  return local.tm_gmtoff;
}

BOOL ShiftFileTime(const FILETIME* in, FILETIME* out, std::int64_t offsetSeconds) {
  if (in == nullptr || out == nullptr) return Fail();
  const std::uint64_t ticks = FileTimeToTicks(*in);
  if (ticks > kMaxTicks) return Fail();
  const std::int64_t delta = offsetSeconds * static_cast<std::int64_t>(kFileTimeTicksPerSecond);
  const auto signedTicks = static_cast<std::int64_t>(ticks);
  std::int64_t shifted = 0;
  if (__builtin_add_overflow(signedTicks, delta, &shifted) || shifted < 0) return Fail();
  *out = FileTimeFromTicks(static_cast<std::uint64_t>(shifted));
  return TRUE;
}

}  // namespace

BOOL UnixTimeToFileTime(std::int64_t seconds, std::int64_t nanoseconds, FILETIME* out) noexcept {
  if (out == nullptr || nanoseconds < 0 || nanoseconds >= 1'000'000'000) return Fail();
  std::int64_t since1601 = 0;
  if (__builtin_add_overflow(seconds, kFileTimeUnixEpochSeconds, &since1601) || since1601 < 0)
    return Fail();
  std::int64_t ticks = 0;
  if (__builtin_mul_overflow(since1601, static_cast<std::int64_t>(kFileTimeTicksPerSecond),
                             &ticks) ||
      __builtin_add_overflow(ticks, nanoseconds / 100, &ticks))
    return Fail();
  *out = FileTimeFromTicks(static_cast<std::uint64_t>(ticks));
  return TRUE;
}

BOOL FileTimeToUnixTime(const FILETIME* in, std::int64_t* seconds,
                        std::int64_t* nanoseconds) noexcept {
  if (in == nullptr || seconds == nullptr || nanoseconds == nullptr) return Fail();
  const std::uint64_t ticks = FileTimeToTicks(*in);
  if (ticks > kMaxTicks) return Fail();
  *seconds = static_cast<std::int64_t>(ticks / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
  *nanoseconds = static_cast<std::int64_t>(ticks % kFileTimeTicksPerSecond) * 100;
  return TRUE;
}

void GetSystemTimeAsFileTime(FILETIME* out) noexcept {
  if (out == nullptr) return;
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  if (!UnixTimeToFileTime(now.tv_sec, now.tv_nsec, out)) *out = FILETIME{0, 0};
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) noexcept {
  return ShiftFileTime(utc, local, CurrentLocalOffsetSeconds());
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) noexcept {
  return ShiftFileTime(local, utc, -CurrentLocalOffsetSeconds());
}

BOOL FileTimeToSystemTime(const FILETIME* in, SYSTEMTIME* out) noexcept {
  if (in == nullptr || out == nullptr) return Fail();
  const std::uint64_t ticks = FileTimeToTicks(*in);
  if (ticks > kMaxTicks) return Fail();
  const auto days = static_cast<std::int64_t>(ticks / kTicksPerDay);
  std::uint64_t rest = ticks % kTicksPerDay;
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days - kEpochDays, year, month, day);
  out->wYear = static_cast<WORD>(year);
  out->wMonth = static_cast<WORD>(month);
  out->wDay = static_cast<WORD>(day);
  // 1601-01-01 was a Monday.
  out->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  out->wHour = static_cast<WORD>(rest / (kFileTimeTicksPerSecond * 3600));
  rest %= kFileTimeTicksPerSecond * 3600;
  out->wMinute = static_cast<WORD>(rest / (kFileTimeTicksPerSecond * 60));
  rest %= kFileTimeTicksPerSecond * 60;
  out->wSecond = static_cast<WORD>(rest / kFileTimeTicksPerSecond);
  rest %= kFileTimeTicksPerSecond;
  out->wMilliseconds = static_cast<WORD>(rest / 10'000);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* in, FILETIME* out) noexcept {
  if (in == nullptr || out == nullptr) return Fail();
  const SYSTEMTIME& st = *in;
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999)
    return Fail();
  const std::int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kEpochDays;
  const std::uint64_t seconds =
      static_cast<std::uint64_t>(days) * 86400 + st.wHour * 3600u + st.wMinute * 60u + st.wSecond;
  *out = FileTimeFromTicks(seconds * kFileTimeTicksPerSecond + st.wMilliseconds * 10'000ull);
  return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* in, WORD* dosDate, WORD* dosTime) noexcept {
  if (dosDate == nullptr || dosTime == nullptr) return Fail();
  SYSTEMTIME st{};
  if (!FileTimeToSystemTime(in, &st)) return FALSE;
  if (st.wYear < 1980 || st.wYear > 2107) return Fail();
  *dosDate = static_cast<WORD>(((st.wYear - 1980) << 9) | (st.wMonth << 5) | st.wDay);
  *dosTime = static_cast<WORD>((st.wHour << 11) | (st.wMinute << 5) | (st.wSecond / 2));
  return TRUE;
}

BOOL DosDateTimeToFileTime(WORD dosDate, WORD dosTime, FILETIME* out) noexcept {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(1980 + (dosDate >> 9));
  st.wMonth = static_cast<WORD>((dosDate >> 5) & 0x0f);
  st.wDay = static_cast<WORD>(dosDate & 0x1f);
  st.wHour = static_cast<WORD>(dosTime >> 11);
  st.wMinute = static_cast<WORD>((dosTime >> 5) & 0x3f);
  st.wSecond = static_cast<WORD>((dosTime & 0x1f) * 2);
  return SystemTimeToFileTime(&st, out);
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) noexcept {
  if (a == nullptr || b == nullptr) return 0;
  const std::uint64_t ta = FileTimeToTicks(*a);
  const std::uint64_t tb = FileTimeToTicks(*b);
  return ta < tb ? -1 : (ta > tb ? 1 : 0);
}
