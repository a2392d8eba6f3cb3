// Names in the user's collation: letter case of every script folds, a real locale orders
// accented letters among their base letters, and sort keys order exactly as comparisons do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Collation.h"
#include "tests/common/TestRoot.h"

// glibc keeps what it loads of a locale named by its path for the life of the process; the
// leak checker would report that cache at exit (our locale objects are freed).
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

namespace {

class CollationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG", "LOCPATH"}) unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG", "LOCPATH"}) unsetenv(name);
  }

  // Every pair of `names` compares as its keys do.
  static void ExpectKeysAgree(const std::vector<std::string>& names) {
    for (const std::string& a : names)
      for (const std::string& b : names) {
        const int order = QvCompareNames(a, b);
        const std::string ka = QvCollationKey(a);
        const std::string kb = QvCollationKey(b);
        const int keyOrder = ka < kb ? -1 : (ka > kb ? 1 : 0);
        EXPECT_EQ(order < 0 ? -1 : (order > 0 ? 1 : 0), keyOrder) << a << " / " << b;
      }
  }

  static std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return QvCompareNames(a, b) < 0;
    });
    return names;
  }
};

const std::vector<std::string> kNames = {"b.txt", "A.txt",  "a.txt", "Émile", "emile", "ezra",
                                         "Zoë",   "zoe",    "_x",    "é",     "f",     "Äpfel",
                                         "äpfel", "apfel2", "\xff",  "\xc3",  "a b",   "ab"};

TEST_F(CollationTest, WithoutALocaleCaseFoldsInEveryScriptAndCodePointsOrder) {
  EXPECT_EQ(QvCompareNames("Readme.TXT", "readme.txt"), 0);
  EXPECT_EQ(QvCompareNames("ÄPFEL", "äpfel"), 0) << "case folds beyond A-Z";
  EXPECT_EQ(QvCompareNames("ΣΟΦΙΑ", "σοφια"), 0);
  EXPECT_LT(QvCompareNames("a.txt", "B.txt"), 0);
  EXPECT_LT(QvCompareNames("ab", "abc"), 0);
  EXPECT_GT(QvCompareNames("é", "f"), 0) << "no collation: code point order";
  // Ill-formed bytes order by their value and equal nothing else.
  EXPECT_NE(QvCompareNames("\xff", "\xc3"), 0);
  EXPECT_NE(QvCompareNames("\xc3", "Ã"), 0);
  EXPECT_LT(lstrcmpiA(nullptr, "a"), 0);
  EXPECT_EQ(lstrcmpiA(nullptr, nullptr), 0);
  EXPECT_EQ(lstrcmpiA("ABC", "abc"), 0);
  ExpectKeysAgree(kNames);

  setenv("LC_ALL", "xx_NOWHERE.UTF-8", 1);
  EXPECT_EQ(QvCompareNames("Émile", "émile"), 0) << "a missing locale still folds case";
  EXPECT_GT(QvCompareNames("é", "f"), 0);
}

TEST_F(CollationTest, AnInstalledLocaleOrdersAccentedLettersWithTheirBaseLetters) {
  // A German locale compiled into a private folder, as an installed one would be.
  TestRoot dir;
  const std::string target = dir.Sub("de_DE.UTF-8");
  const int status = RunInChild([&target] {
    execlp("localedef", "localedef", "-i", "de_DE", "-f", "UTF-8", target.c_str(),
           static_cast<char*>(nullptr));
    return 127;
  });
  // localedef exits with 1 for mere warnings.
  ASSERT_TRUE((status == 0 || status == 1) && access((target + "/LC_COLLATE").c_str(), R_OK) == 0)
      << "localedef (package locales) is needed: run scripts/install-deps.sh";
  setenv("LOCPATH", dir.Path().c_str(), 1);
  setenv("LANG", "de_DE.UTF-8", 1);

  EXPECT_LT(QvCompareNames("é", "f"), 0) << "é sorts with e, before f";
  EXPECT_LT(QvCompareNames("emile", "Émile2"), 0);
  EXPECT_LT(QvCompareNames("Émile", "ezra"), 0);
  EXPECT_EQ(QvCompareNames("ÄPFEL", "äpfel"), 0);
  EXPECT_LT(QvCompareNames("Äpfel", "Birne"), 0) << "Ä sorts with A";
  EXPECT_EQ(Sorted({"f", "Zoë", "é", "Äpfel", "b"}),
            (std::vector<std::string>{"Äpfel", "b", "é", "f", "Zoë"}));
  ExpectKeysAgree(kNames);

  // LC_COLLATE names the collation when LC_ALL is not set.
  setenv("LC_COLLATE", "C", 1);
  EXPECT_GT(QvCompareNames("é", "f"), 0);
}

}  // namespace
