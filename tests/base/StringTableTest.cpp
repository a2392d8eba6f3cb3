// Loading texts: the user's language first, then its primary language, then English, cut to
// the caller's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/StringTable.h"
#include "platform/Kernel.h"

namespace {

// Tables as a translator would add them: Brazilian Portuguese (1046), neutral
// Portuguese (22) and English.
const StringResource kTables[] = {
    {1033, 1, "one"},   {1033, 2, "two"}, {1033, 3, "three"},
    {22, 1, "um (pt)"}, {22, 2, "dois"},  {1046, 1, "um (pt-BR)"},
};

TEST(StringLookupTest, FallsBackFromLanguageToPrimaryLanguageToEnglish) {
  struct Case {
    LANGID language;
    UINT id;
    const char* expected;
  } cases[] = {
      {1046, 1, "um (pt-BR)"},  // its own table
      {1046, 2, "dois"},        // missing there: the primary language's table
      {1046, 3, "three"},       // missing in both: English
      {2070, 1, "um (pt)"},     // Portugal has no table of its own
      {1041, 2, "two"},         // Japanese has no table at all
      {1033, 3, "three"},
  };
  for (const Case& c : cases) {
    const char* text = FindStringText(kTables, c.id, c.language);
    ASSERT_NE(text, nullptr) << "language " << c.language << " id " << c.id;
    EXPECT_STREQ(text, c.expected) << "language " << c.language << " id " << c.id;
  }
  EXPECT_EQ(FindStringText(kTables, 4, 1046), nullptr);
}

TEST(StringLoadTest, UsesTheThreadLanguageAndEnglishWhereNoTableExists) {
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(0x041D, 0)));  // Swedish: no table
  EXPECT_EQ(LoadStringText(107), "Success");
  ASSERT_TRUE(SetThreadLocale(MAKELCID(0x0407, 0)));  // German: its language's table
  EXPECT_EQ(LoadStringText(107), LoadStringText(107, 7));
  EXPECT_NE(LoadStringText(107), "Success");
  ASSERT_TRUE(SetThreadLocale(saved));
}

TEST(StringLoadTest, CutsToTheBufferAndReportsMissingIds) {
  char buffer[5];
  std::memset(buffer, 'X', sizeof buffer);
  EXPECT_EQ(LoadStringA(107, buffer, sizeof buffer, 1033), 4);
  EXPECT_STREQ(buffer, "Succ");

  buffer[0] = 'X';
  EXPECT_EQ(LoadStringA(65000, buffer, sizeof buffer, 1033), 0);
  EXPECT_EQ(buffer[0], '\0') << "a missing id leaves an empty text";
  EXPECT_EQ(LoadStringA(107, buffer, 0, 1033), 0);
  EXPECT_EQ(LoadStringA(107, nullptr, 5, 1033), 0);
  EXPECT_EQ(LoadStringText(65000), "");
}

}  // namespace
