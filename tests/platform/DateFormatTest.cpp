// Dates and times in the user's LC_TIME formats: the short date, the time without seconds,
// the size rules of the buffer and refused times.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/DateFormat.h"
#include "platform/LastError.h"

namespace {

class DateFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"}) unsetenv(name);
    setenv("LC_TIME", "C.UTF-8", 1);
  }
  void TearDown() override { unsetenv("LC_TIME"); }

  SYSTEMTIME time_{2026, 3, 0, 5, 14, 7, 9, 0};
};

TEST_F(DateFormatTest, ShortDateAndTimeWithoutSeconds) {
  char buffer[64];
  ASSERT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time_, nullptr, buffer, 64), 9);
  EXPECT_STREQ(buffer, "03/05/26");
  ASSERT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_NOSECONDS, &time_, nullptr, buffer, 64), 6);
  EXPECT_STREQ(buffer, "14:07");
  ASSERT_GT(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time_, nullptr, buffer, 64), 0);
  EXPECT_STREQ(buffer, "14:07:09");
}

TEST_F(DateFormatTest, AnUninstalledLocaleFallsBackToTheDefaultFormats) {
  setenv("LC_TIME", "xx_NOWHERE.UTF-8", 1);
  char buffer[64];
  ASSERT_GT(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time_, nullptr, buffer, 64), 0);
  EXPECT_STREQ(buffer, "03/05/26");
}

TEST_F(DateFormatTest, SizesAndRefusals) {
  EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time_, nullptr, nullptr, 0), 9)
      << "size 0 asks for the size needed";
  char small[8] = "intact";
  EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time_, nullptr, small, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_STREQ(small, "intact") << "nothing cut is handed out";

  SYSTEMTIME bad = time_;
  bad.wMonth = 13;
  char buffer[64];
  EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &bad, nullptr, buffer, 64), 0);
  EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, buffer, 64), 0);
  EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &time_, "yyyy", buffer, 64), 0);
}

}  // namespace
