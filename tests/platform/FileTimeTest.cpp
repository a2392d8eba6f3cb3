// FILETIME conversions: Unix time, calendar fields (checked against the C library), local
// time with the current-bias rule, and the MS-DOS packing with its range limits.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "platform/FileTime.h"
#include "platform/LastError.h"

namespace {

// Sets TZ for the lifetime of the object.
struct ScopedTimeZone {
  std::optional<std::string> saved;
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ");
    tzset();
  }
};

constexpr std::int64_t kHour = 3600 * 10'000'000LL;

FILETIME FromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0) {
  FILETIME ft{};
  EXPECT_TRUE(UnixTimeToFileTime(seconds, nanoseconds, &ft)) << seconds;
  return ft;
}

std::int64_t Shift(const FILETIME& a, const FILETIME& b) {
  return static_cast<std::int64_t>(FileTimeToTicks(a) - FileTimeToTicks(b));
}

// Every field as text, so a failed comparison shows them all.
std::string Fields(const SYSTEMTIME& s) {
  std::string out;
  for (WORD w :
       {s.wYear, s.wMonth, s.wDay, s.wDayOfWeek, s.wHour, s.wMinute, s.wSecond, s.wMilliseconds})
    out += std::to_string(w) + " ";
  return out;
}

}  // namespace

TEST(FileTimeTest, UnixTimeConvertsBothWaysWithinTheRange) {
  EXPECT_EQ(FileTimeToTicks(FromUnix(0)), 116'444'736'000'000'000ull);
  std::int64_t s = 0, ns = 0;
  const FILETIME before1970 = FromUnix(-2, 500'000'050);
  ASSERT_TRUE(FileTimeToUnixTime(&before1970, &s, &ns));
  EXPECT_EQ(s, -2);
  EXPECT_EQ(ns, 500'000'000) << "the sub-tick part is dropped";

  FILETIME ft{7, 7};
  SetLastError(0);
  EXPECT_FALSE(UnixTimeToFileTime(-kFileTimeUnixEpochSeconds - 1, 0, &ft));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(UnixTimeToFileTime(0, 1'000'000'000, &ft));
  EXPECT_FALSE(UnixTimeToFileTime(std::numeric_limits<std::int64_t>::max(), 0, &ft));
  EXPECT_FALSE(UnixTimeToFileTime(std::numeric_limits<std::int64_t>::max() / 10'000'000, 0, &ft));
  EXPECT_EQ(ft.dwLowDateTime, 7u) << "a failed conversion must leave the output alone";
  const FILETIME tooBig = FileTimeFromTicks(0x8000000000000000ull);
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToUnixTime(&tooBig, &s, &ns));
  EXPECT_FALSE(FileTimeToSystemTime(&tooBig, &st));
}

TEST(FileTimeTest, SystemTimeAgreesWithTheCLibraryAndTheExtremes) {
  // Every 37 days and 1 hour 7 minutes 13 seconds from 1902 to 2200; milliseconds survive.
  SYSTEMTIME st{};
  FILETIME back{};
  for (std::int64_t t = -2'145'000'000; t < 7'258'118'400; t += 37 * 86400 + 4033) {
    const time_t tt = static_cast<time_t>(t);
    struct tm e {};
    ASSERT_NE(gmtime_r(&tt, &e), nullptr);
    const FILETIME ft = FromUnix(t, 789'123'456);
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    const SYSTEMTIME want{static_cast<WORD>(e.tm_year + 1900), static_cast<WORD>(e.tm_mon + 1),
                          static_cast<WORD>(e.tm_wday),        static_cast<WORD>(e.tm_mday),
                          static_cast<WORD>(e.tm_hour),        static_cast<WORD>(e.tm_min),
                          static_cast<WORD>(e.tm_sec),         789};
    ASSERT_EQ(Fields(st), Fields(want)) << t;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    ASSERT_EQ(FileTimeToTicks(back), FileTimeToTicks(FromUnix(t, 789'000'000))) << t;
  }
  const FILETIME last = FileTimeFromTicks(0x7FFFFFFFFFFFFFFFull);
  ASSERT_TRUE(FileTimeToSystemTime(&last, &st));
  EXPECT_EQ(Fields(st), Fields({30828, 9, 4, 14, 2, 48, 5, 477}));
  EXPECT_FALSE(SystemTimeToFileTime(&st, &back)) << "calendar input stops at 30827";

  const SYSTEMTIME bad[] = {
      {2100, 2, 0, 29, 0, 0, 0, 0},  {2001, 4, 0, 31, 0, 0, 0, 0}, {2001, 13, 0, 1, 0, 0, 0, 0},
      {2001, 0, 0, 1, 0, 0, 0, 0},   {2001, 1, 0, 0, 0, 0, 0, 0},  {2001, 1, 0, 1, 24, 0, 0, 0},
      {2001, 1, 0, 1, 0, 60, 0, 0},  {2001, 1, 0, 1, 0, 0, 60, 0}, {2001, 1, 0, 1, 0, 0, 0, 1000},
      {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0},
  };
  for (const SYSTEMTIME& invalid : bad) {
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&invalid, &back)) << Fields(invalid);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST(FileTimeTest, LocalTimeAppliesTheBiasInEffectNow) {
  // Central European time with its daylight-saving rule, spelled out so no zone data is needed.
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const FILETIME january = FromUnix(1'705'312'800);  // 2024-01-15, standard time
  const FILETIME july = FromUnix(1'721'037'601);     // 2024-07-15, daylight-saving time
  FILETIME localJanuary{}, localJuly{}, back{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&january, &localJanuary));
  ASSERT_TRUE(FileTimeToLocalFileTime(&july, &localJuly));
  const std::int64_t shift = Shift(localJanuary, january);
  EXPECT_EQ(shift, Shift(localJuly, july)) << "the shift must not depend on the date converted";
  EXPECT_TRUE(shift == kHour || shift == 2 * kHour) << shift;
  ASSERT_TRUE(LocalFileTimeToFileTime(&localJuly, &back));
  EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(july));
  setenv("TZ", "YST+3:30", 1);
  tzset();
  const FILETIME t = FromUnix(1'000'000'000), first = FileTimeFromTicks(0);
  ASSERT_TRUE(FileTimeToLocalFileTime(&t, &back));
  EXPECT_EQ(Shift(back, t), -7 * kHour / 2);
  EXPECT_FALSE(FileTimeToLocalFileTime(&first, &back)) << "would go before 1601";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FileTimeTest, DosDateTimeRangeAndFields) {
  const WORD untouched = 0xAAAA;
  struct Case {
    SYSTEMTIME st;
    WORD date, time;
  } cases[] = {
      {{1980, 1, 0, 1, 0, 0, 1, 0}, 0x0021, 0x0000},  // odd second rounds down
      {{2107, 12, 0, 31, 23, 59, 59, 0}, 0xFF9F, 0xBF7D},
      {{1979, 12, 0, 31, 23, 59, 59, 999}, untouched, untouched},  // out of range: refused
      {{2108, 1, 0, 1, 0, 0, 0, 0}, untouched, untouched},
  };
  for (const Case& c : cases) {
    const bool ok = c.date != untouched;
    FILETIME ft{}, back{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    WORD date = untouched, time = untouched;
    SetLastError(0);
    EXPECT_EQ(FileTimeToDosDateTime(&ft, &date, &time) != FALSE, ok) << c.st.wYear;
    EXPECT_EQ(GetLastError(), ok ? 0u : static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(date, c.date) << c.st.wYear;
    EXPECT_EQ(time, c.time) << c.st.wYear;
    if (!ok) continue;
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &back));
    EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(ft) / 20'000'000 * 20'000'000) << c.st.wYear;
  }
  FILETIME ft{};
  EXPECT_FALSE(DosDateTimeToFileTime(0, 0, &ft)) << "month 0";
  EXPECT_FALSE(DosDateTimeToFileTime(0x0021, 30, &ft)) << "60 seconds";
  EXPECT_FALSE(DosDateTimeToFileTime(0x0021, 24 << 11, &ft)) << "hour 24";
  EXPECT_FALSE(DosDateTimeToFileTime((120 << 9) | (2 << 5) | 29, 0, &ft)) << "2100-02-29";
  EXPECT_TRUE(DosDateTimeToFileTime((44 << 9) | (2 << 5) | 29, 0, &ft)) << "2024-02-29";
}

// Containers keep MS-DOS dates in local time: UTC -> local -> MS-DOS -> local -> UTC gives the
// time back to the two seconds MS-DOS can hold, in winter and in summer alike.
TEST(FileTimeTest, RoundTripThroughLocalAndDosTimeInADaylightSavingZone) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  for (std::int64_t seconds : {1'705'312'801LL, 1'721'037'602LL, 1'711'846'799LL}) {
    const FILETIME utc = FromUnix(seconds, 123'456'700);
    FILETIME local{}, fromDos{}, back{};
    WORD date = 0, time = 0;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &fromDos));
    ASSERT_TRUE(LocalFileTimeToFileTime(&fromDos, &back));
    EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(FromUnix(seconds / 2 * 2))) << seconds;
  }
}

TEST(FileTimeTest, CompareUsesBothHalvesAndNowIsNow) {
  const FILETIME a = FileTimeFromTicks(0x00000001FFFFFFFFull);
  const FILETIME b = FileTimeFromTicks(0x0000000200000000ull);
  EXPECT_EQ(CompareFileTime(&a, &b), -1);
  EXPECT_EQ(CompareFileTime(&b, &a), 1);
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto seconds = static_cast<std::int64_t>(FileTimeToTicks(now) / 10'000'000);
  EXPECT_LE(std::llabs(seconds - kFileTimeUnixEpochSeconds - ::time(nullptr)), 5);
}
