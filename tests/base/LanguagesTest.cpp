// The twenty languages as the product embeds them: each has every English text, translated
// and whole, and the user's locale picks the table a user of that locale reads best.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <span>
#include <string>
#include <thread>
#include <tuple>

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "platform/Kernel.h"
#include "tests/common/Languages.h"

namespace {

using qvtest::kEnglishLanguage;
using qvtest::kShippedLanguages;

std::span<const StringResource> Strings() { return {kStringResources, kStringResourceCount}; }
std::span<const DialogTextResource> DialogTexts() {
  return {kDialogTextResources, kDialogTextResourceCount};
}

// The text of `id` in exactly `language`'s table, without falling back.
const char* OwnText(LANGID language, UINT id) {
  for (const StringResource& r : Strings())
    if (r.language == language && r.id == id) return r.text;
  return nullptr;
}

TEST(LanguagesTest, EveryLanguageHasEveryEnglishTextTranslatedAndWhole) {
  for (const LANGID language : kShippedLanguages) {
    SCOPED_TRACE(testing::Message() << "language " << language);
    size_t texts = 0;
    for (const StringResource& english : Strings()) {
      if (english.language != kEnglishLanguage) continue;
      const char* text = OwnText(language, english.id);
      ASSERT_NE(text, nullptr) << "string " << english.id << " is missing";
      EXPECT_TRUE(qvtest::IsValidUtf8(text)) << "string " << english.id;
      EXPECT_FALSE(qvtest::LeftInEnglish(language, text, english.text))
          << "string " << english.id << " is English: " << text;
      char buffer[kStringBufferSize];
      EXPECT_EQ(LoadStringA(english.id, buffer, sizeof buffer, language),
                static_cast<int>(std::strlen(text)))
          << "string " << english.id << " does not fit its buffer";
      ++texts;
    }
    for (const DialogTextResource& english : DialogTexts()) {
      if (english.language != kEnglishLanguage) continue;
      const char* own = nullptr;
      for (const DialogTextResource& t : DialogTexts()) {
        if (t.language == language && std::strcmp(t.kind, english.kind) == 0 &&
            std::strcmp(t.resource, english.resource) == 0 &&
            std::strcmp(t.item, english.item) == 0)
          own = t.text;
      }
      const std::string entry =
          std::string(english.kind) + " " + english.resource + " " + english.item;
      ASSERT_NE(own, nullptr) << entry << " is missing";
      EXPECT_TRUE(qvtest::IsValidUtf8(own)) << entry;
      EXPECT_FALSE(qvtest::LeftInEnglish(language, own, english.text))
          << entry << " is English: " << own;
      ++texts;
    }
    EXPECT_GT(texts, 100u) << "the English tables were not embedded";
  }
}

TEST(LanguagesTest, TheKoreanPromptIsATextOfItsOwnAndTheFileExistsMessageStaysOne) {
  const char* prompt = OwnText(1042, 192);
  const char* exists = OwnText(1042, 170);
  ASSERT_NE(prompt, nullptr);
  ASSERT_NE(exists, nullptr);
  EXPECT_STRNE(prompt, exists);
  EXPECT_EQ(std::strstr(prompt, "%s"), nullptr) << "a prompt names no file";
  EXPECT_NE(std::strstr(exists, "%s"), nullptr) << "170 names the file that exists";
}

TEST(LanguagesTest, TheLocaleChoosesTheNearestShippedTableAndNeverAMissingText) {
  const qvtest::LocaleVariables restore;
  const struct {
    const char* variable;
    const char* locale;
    LANGID table;
  } cases[] = {
      {"LANG", "de_DE.UTF-8", 7},     {"LANG", "de_AT.UTF-8", 7},    {"LANG", "fr_CA.UTF-8", 12},
      {"LANG", "es_MX", 10},          {"LANG", "it_CH", 16},         {"LANG", "nl_BE", 19},
      {"LANG", "pt_PT.UTF-8", 22},    {"LANG", "pt_BR.UTF-8", 1046}, {"LANG", "zh_TW.UTF-8", 1028},
      {"LANG", "zh_HK.UTF-8", 3076},  {"LANG", "zh_MO.UTF-8", 3076}, {"LANG", "zh_CN.UTF-8", 2052},
      {"LANG", "zh", 2052},           {"LANG", "zh_SG", 4100},       {"LANG", "cs_CZ", 1029},
      {"LANG", "da_DK", 1030},        {"LANG", "ja_JP.UTF-8", 1041}, {"LANG", "ko_KR.UTF-8", 1042},
      {"LANG", "pl_PL", 1045},        {"LANG", "ru_RU.UTF-8", 1049}, {"LANG", "tr_TR", 1055},
      {"LANG", "id_ID", 1057},        {"LANG", "xx_YY", 1033},       {"LANG", "sv_SE", 1033},
      {"LANG", "C.UTF-8", 1033},      {"LC_ALL", "ru_RU", 1049},     {"LC_MESSAGES", "ja_JP", 1041},
      {"LANGUAGE", "pt_BR:pt", 1046},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.variable << "=" << c.locale);
    setenv(c.variable, c.locale, 1);
    // A fresh thread has the user's default locale, not one a former case left behind.
    std::string title, help, menuItem, caption;
    std::thread([&] {
      title = LoadStringText(101);
      help = LoadStringText(144);
      menuItem = LoadDialogText("menuitem", 608, "0:32774");
      const auto t = LoadDialogTemplate(IDD_CONFIRM_REPLACE);
      caption = t ? t->caption : "";
    }).join();
    unsetenv(c.variable);
    ASSERT_NE(OwnText(c.table, 101), nullptr);
    EXPECT_EQ(title, OwnText(c.table, 101));
    EXPECT_EQ(help, OwnText(c.table, 144));
    EXPECT_EQ(menuItem, FindDialogText(DialogTexts(), "menuitem", "608", "0:32774", c.table));
    EXPECT_EQ(caption, FindDialogText(DialogTexts(), "caption", "701", "-", c.table));
    EXPECT_FALSE(title.empty() || help.empty() || menuItem.empty() || caption.empty());
  }
}

}  // namespace
