// FILETIME conversions: Unix time, calendar fields (checked against the C library), local
// time with the current-bias rule, and the MS-DOS packing with its range limits.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "platform/FileTime.h"
#include "platform/LastError.h"

namespace {

// Sets TZ for the lifetime of the object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
      had_ = true;
      saved_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string saved_;
};

// Central European time with its daylight-saving rule, spelled out so no zone data is needed.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";

FILETIME FromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0) {
  FILETIME ft{};
  EXPECT_TRUE(UnixTimeToFileTime(seconds, nanoseconds, &ft)) << seconds;
  return ft;
}

std::int64_t TickDifference(const FILETIME& a, const FILETIME& b) {
  return static_cast<std::int64_t>(FileTimeToTicks(a) - FileTimeToTicks(b));
}

}  // namespace

TEST(FileTimeTest, UnixTimeConvertsBothWays) {
  const FILETIME epoch = FromUnix(0);
  EXPECT_EQ(epoch.dwHighDateTime, 0x019DB1DEu);
  EXPECT_EQ(epoch.dwLowDateTime, 0xD53E8000u);

  struct Case {
    std::int64_t seconds, nanoseconds, backSeconds, backNanoseconds;
  } cases[] = {
      {1'700'000'000, 123'456'789, 1'700'000'000, 123'456'700},  // sub-tick part dropped
      {-2, 500'000'000, -2, 500'000'000},                        // before 1970
      {-kFileTimeUnixEpochSeconds, 0, -kFileTimeUnixEpochSeconds, 0},
      {4'102'444'800, 999'999'999, 4'102'444'800, 999'999'900},  // 2100
  };
  for (const Case& c : cases) {
    const FILETIME ft = FromUnix(c.seconds, c.nanoseconds);
    std::int64_t s = 0;
    std::int64_t ns = 0;
    ASSERT_TRUE(FileTimeToUnixTime(&ft, &s, &ns));
    EXPECT_EQ(s, c.backSeconds);
    EXPECT_EQ(ns, c.backNanoseconds);
  }
  EXPECT_EQ(FileTimeToTicks(FromUnix(-kFileTimeUnixEpochSeconds)), 0u);
}

TEST(FileTimeTest, UnixTimeOutsideTheRangeFails) {
  FILETIME ft{7, 7};
  SetLastError(0);
  EXPECT_FALSE(UnixTimeToFileTime(-kFileTimeUnixEpochSeconds - 1, 0, &ft));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(UnixTimeToFileTime(0, 1'000'000'000, &ft));
  EXPECT_FALSE(UnixTimeToFileTime(0, -1, &ft));
  EXPECT_FALSE(UnixTimeToFileTime(std::numeric_limits<std::int64_t>::max(), 0, &ft));
  EXPECT_FALSE(UnixTimeToFileTime(std::numeric_limits<std::int64_t>::max() / 10'000'000, 0, &ft));
  EXPECT_EQ(ft.dwLowDateTime, 7u) << "a failed conversion must leave the output alone";

  const FILETIME tooBig = FileTimeFromTicks(0x8000000000000000ull);
  std::int64_t s = 0;
  std::int64_t ns = 0;
  EXPECT_FALSE(FileTimeToUnixTime(&tooBig, &s, &ns));
  SYSTEMTIME st{};
  EXPECT_FALSE(FileTimeToSystemTime(&tooBig, &st));
}

TEST(FileTimeTest, SystemTimeFieldsOfKnownInstants) {
  struct Case {
    std::uint64_t ticks;
    SYSTEMTIME expected;
  } cases[] = {
      {0, {1601, 1, 1, 1, 0, 0, 0, 0}},
      {FileTimeToTicks(FromUnix(951'827'696)) + 7'891'234, {2000, 2, 2, 29, 12, 34, 56, 789}},
      {FileTimeToTicks(FromUnix(1'705'312'800)), {2024, 1, 1, 15, 10, 0, 0, 0}},
      {0x7FFFFFFFFFFFFFFFull, {30828, 9, 4, 14, 2, 48, 5, 477}},
  };
  for (const Case& c : cases) {
    const FILETIME ft = FileTimeFromTicks(c.ticks);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << c.ticks;
    EXPECT_EQ(st.wYear, c.expected.wYear) << c.ticks;
    EXPECT_EQ(st.wMonth, c.expected.wMonth) << c.ticks;
    EXPECT_EQ(st.wDayOfWeek, c.expected.wDayOfWeek) << c.ticks;
    EXPECT_EQ(st.wDay, c.expected.wDay) << c.ticks;
    EXPECT_EQ(st.wHour, c.expected.wHour) << c.ticks;
    EXPECT_EQ(st.wMinute, c.expected.wMinute) << c.ticks;
    EXPECT_EQ(st.wSecond, c.expected.wSecond) << c.ticks;
    EXPECT_EQ(st.wMilliseconds, c.expected.wMilliseconds) << c.ticks;
    FILETIME back{};
    if (st.wYear > 30827) {
      EXPECT_FALSE(SystemTimeToFileTime(&st, &back)) << "calendar input stops at 30827";
      continue;
    }
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(FileTimeToTicks(back), c.ticks - c.ticks % 10'000) << "milliseconds survive";
  }
}

TEST(FileTimeTest, SystemTimeAgreesWithTheCLibraryCalendar) {
  // Every 37 days and 1 hour 7 minutes 13 seconds from 1902 to 2200.
  for (std::int64_t t = -2'145'000'000; t < 7'258'118'400; t += 37 * 86400 + 4033) {
    const time_t tt = static_cast<time_t>(t);
    struct tm expected {};
    ASSERT_NE(gmtime_r(&tt, &expected), nullptr);
    const FILETIME ft = FromUnix(t);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    ASSERT_EQ(st.wYear, expected.tm_year + 1900) << t;
    ASSERT_EQ(st.wMonth, expected.tm_mon + 1) << t;
    ASSERT_EQ(st.wDay, expected.tm_mday) << t;
    ASSERT_EQ(st.wDayOfWeek, expected.tm_wday) << t;
    ASSERT_EQ(st.wHour, expected.tm_hour) << t;
    ASSERT_EQ(st.wMinute, expected.tm_min) << t;
    ASSERT_EQ(st.wSecond, expected.tm_sec) << t;
  }
}

TEST(FileTimeTest, InvalidSystemTimesAreRefused) {
  const SYSTEMTIME bad[] = {
      {1900, 2, 0, 29, 0, 0, 0, 0},    // 1900 is no leap year
      {2100, 2, 0, 29, 0, 0, 0, 0},    // neither is 2100
      {2001, 2, 0, 29, 0, 0, 0, 0},    //
      {2001, 4, 0, 31, 0, 0, 0, 0},    // April has 30 days
      {2001, 13, 0, 1, 0, 0, 0, 0},    //
      {2001, 0, 0, 1, 0, 0, 0, 0},     //
      {2001, 1, 0, 0, 0, 0, 0, 0},     //
      {2001, 1, 0, 1, 24, 0, 0, 0},    //
      {2001, 1, 0, 1, 0, 60, 0, 0},    //
      {2001, 1, 0, 1, 0, 0, 60, 0},    //
      {2001, 1, 0, 1, 0, 0, 0, 1000},  //
      {1600, 12, 0, 31, 0, 0, 0, 0},   // before the FILETIME epoch
      {30828, 1, 0, 1, 0, 0, 0, 0},    // beyond the valid range
  };
  for (const SYSTEMTIME& st : bad) {
    FILETIME ft{};
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const SYSTEMTIME leap{2000, 2, 0, 29, 23, 59, 59, 999};
  FILETIME ft{};
  EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
}

TEST(FileTimeTest, LocalTimeAppliesTheBiasInEffectNow) {
  ScopedTimeZone zone(kBerlin);
  const FILETIME january = FromUnix(1'705'312'800);  // 2024-01-15, standard time
  const FILETIME july = FromUnix(1'721'037'601);     // 2024-07-15, daylight-saving time
  FILETIME localJanuary{};
  FILETIME localJuly{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&january, &localJanuary));
  ASSERT_TRUE(FileTimeToLocalFileTime(&july, &localJuly));
  const std::int64_t januaryShift = TickDifference(localJanuary, january);
  const std::int64_t julyShift = TickDifference(localJuly, july);
  EXPECT_EQ(januaryShift, julyShift) << "the shift must not depend on the date converted";
  EXPECT_TRUE(januaryShift == 3600 * 10'000'000LL || januaryShift == 7200 * 10'000'000LL)
      << januaryShift;

  FILETIME back{};
  ASSERT_TRUE(LocalFileTimeToFileTime(&localJuly, &back));
  EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(july));
  ASSERT_TRUE(LocalFileTimeToFileTime(&localJanuary, &back));
  EXPECT_EQ(FileTimeToTicks(back), FileTimeToTicks(january));
}

TEST(FileTimeTest, LocalTimeFollowsAChangedZone) {
  const FILETIME t = FromUnix(1'000'000'000);
  FILETIME local{};
  {
    ScopedTimeZone zone("XST-5");
    ASSERT_TRUE(FileTimeToLocalFileTime(&t, &local));
    EXPECT_EQ(TickDifference(local, t), 5 * 3600 * 10'000'000LL);
  }
  {
    ScopedTimeZone zone("YST+3:30");
    ASSERT_TRUE(FileTimeToLocalFileTime(&t, &local));
    EXPECT_EQ(TickDifference(local, t), -(3 * 3600 + 1800) * 10'000'000LL);
    // Shifting the first instant back would go before 1601.
    const FILETIME first = FileTimeFromTicks(0);
    EXPECT_FALSE(FileTimeToLocalFileTime(&first, &local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST(FileTimeTest, DosDateTimeRoundTripsThroughLocalTime) {
  ScopedTimeZone zone(kBerlin);
  for (const std::int64_t t : {1'705'312'800LL + 59, 1'721'037'601LL, 315'532'800LL + 86400}) {
    const FILETIME utc = FromUnix(t, 250'000'000);
    FILETIME local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    WORD date = 0;
    WORD time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
    FILETIME localBack{};
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &localBack));
    FILETIME utcBack{};
    ASSERT_TRUE(LocalFileTimeToFileTime(&localBack, &utcBack));
    // Two-second resolution: odd seconds and fractions round down.
    EXPECT_EQ(FileTimeToTicks(utcBack), FileTimeToTicks(FromUnix(t - t % 2))) << t;
  }
}

TEST(FileTimeTest, DosDateTimeRangeAndFields) {
  struct Case {
    SYSTEMTIME st;
    bool ok;
    WORD date, time;
  } cases[] = {
      {{1979, 12, 0, 31, 23, 59, 59, 999}, false, 0, 0},
      {{1980, 1, 0, 1, 0, 0, 0, 0}, true, 0x0021, 0x0000},
      {{1980, 1, 0, 1, 0, 0, 1, 0}, true, 0x0021, 0x0000},  // odd second rounds down
      {{2107, 12, 0, 31, 23, 59, 59, 0}, true, 0xFF9F, 0xBF7D},
      {{2108, 1, 0, 1, 0, 0, 0, 0}, false, 0, 0},
  };
  for (const Case& c : cases) {
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    WORD date = 0xAAAA;
    WORD time = 0xAAAA;
    SetLastError(0);
    EXPECT_EQ(FileTimeToDosDateTime(&ft, &date, &time) != FALSE, c.ok) << c.st.wYear;
    if (c.ok) {
      EXPECT_EQ(date, c.date) << c.st.wYear;
      EXPECT_EQ(time, c.time) << c.st.wYear;
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }

  FILETIME ft{};
  EXPECT_FALSE(DosDateTimeToFileTime(0, 0, &ft)) << "month 0";
  EXPECT_FALSE(DosDateTimeToFileTime(0x0021, 30, &ft)) << "60 seconds";
  EXPECT_FALSE(DosDateTimeToFileTime(0x0021, 24 << 11, &ft)) << "hour 24";
  EXPECT_FALSE(DosDateTimeToFileTime((120 << 9) | (2 << 5) | 29, 0, &ft)) << "2100-02-29";
  ASSERT_TRUE(DosDateTimeToFileTime((44 << 9) | (2 << 5) | 29, (13 << 11) | (7 << 5) | 29, &ft));
  SYSTEMTIME st{};
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(st.wYear, 2024);
  EXPECT_EQ(st.wMonth, 2);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wHour, 13);
  EXPECT_EQ(st.wMinute, 7);
  EXPECT_EQ(st.wSecond, 58);
}

TEST(FileTimeTest, CompareAndCurrentTime) {
  const FILETIME a = FileTimeFromTicks(0x00000001FFFFFFFFull);
  const FILETIME b = FileTimeFromTicks(0x0000000200000000ull);
  EXPECT_EQ(CompareFileTime(&a, &b), -1);
  EXPECT_EQ(CompareFileTime(&b, &a), 1);
  EXPECT_EQ(CompareFileTime(&a, &a), 0);

  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  ASSERT_TRUE(FileTimeToUnixTime(&now, &seconds, &nanoseconds));
  EXPECT_LE(std::llabs(seconds - static_cast<std::int64_t>(::time(nullptr))), 5);
}
