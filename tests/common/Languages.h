// The languages the product ships texts in, and the checks every language test makes of a
// text: well-formed UTF-8 (so no text was cut inside a character), and translated unless the
// English text is only names or the language uses the same word.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"

namespace qvtest {

// The twenty tables: six whole languages (German, Spanish, French, Italian, Dutch, Portuguese)
// and fourteen of one region each.
inline constexpr LANGID kShippedLanguages[] = {7,    10,   12,   16,   19,   22,   1028,
                                               1029, 1030, 1033, 1041, 1042, 1045, 1046,
                                               1049, 1055, 1057, 2052, 3076, 4100};
inline constexpr LANGID kEnglishLanguage = 1033;

inline bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80                      ? 1
                          : (lead >= 0xC2 && lead <= 0xDF) ? 2
                          : (lead >= 0xE0 && lead <= 0xEF) ? 3
                          : (lead >= 0xF0 && lead <= 0xF4) ? 4
                                                           : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

// True when `text` holds nothing but names, numbers, placeholders and punctuation: "OK",
// "%s", "Sentivo", "KB", "Verdana" read the same in every language.
inline bool OnlyNames(std::string text) {
  for (const char* name :
       {"Orvane", "Sentivo", "Quorvin", "Verdana", "QVF", "CRC", "KB", "OK", "%s", "%d"}) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name))
      text.erase(at, std::string_view(name).size());
  }
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

// Words that a language writes exactly as English does (res/glossary.md lists them).
inline bool SameWordInLanguage(LANGID language, std::string_view text) {
  struct SameWord {
    LANGID language;
    const char* word;
  };
  static constexpr SameWord kSameWords[] = {
      {7, "Name"},    {7, "Status"},    {10, "No"},       {12, "Type"},     {12, "Date"},
      {16, "No"},     {16, "File"},     {19, "Status"},   {19, "Type"},     {1030, "Status"},
      {1030, "Type"}, {1045, "Folder"}, {1057, "Status"}, {1057, "Folder"},
  };
  return std::any_of(std::begin(kSameWords), std::end(kSameWords),
                     [&](const SameWord& w) { return w.language == language && text == w.word; });
}

// A text of `language` that is still its English original (and should have been translated).
inline bool LeftInEnglish(LANGID language, std::string_view text, std::string_view english) {
  return language != kEnglishLanguage && text == english && !OnlyNames(std::string(text)) &&
         !SameWordInLanguage(language, text);
}

// Clears the four locale variables for a test and restores them afterwards.
class LocaleVariables {
 public:
  LocaleVariables() {
    for (int i = 0; i < 4; ++i) {
      if (const char* value = std::getenv(kNames[i])) saved_[i] = value;
      unsetenv(kNames[i]);
    }
  }
  ~LocaleVariables() {
    for (int i = 0; i < 4; ++i)
      saved_[i] ? (void)setenv(kNames[i], saved_[i]->c_str(), 1) : (void)unsetenv(kNames[i]);
  }
  LocaleVariables(const LocaleVariables&) = delete;
  LocaleVariables& operator=(const LocaleVariables&) = delete;

 private:
  static constexpr const char* kNames[4] = {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"};
  std::optional<std::string> saved_[4];
};

}  // namespace qvtest
