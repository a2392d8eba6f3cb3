// The module's string resources: every table of res/strings, embedded at build time, and
// the loader that picks the text of an id in the user's language with English as fallback.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "platform/WinTypes.h"

struct StringResource {
  LANGID language;
  UINT id;
  const char* text;
};

// Generated from res/strings (see res/EmbedStrings.cpp).
extern const StringResource kStringResources[];
extern const size_t kStringResourceCount;

// The English table, used when the user's language has no table or no such entry.
inline constexpr LANGID kFallbackLanguage = 1033;

// The text of `id` in `tables` for `language`: its own table, then the table of its primary
// language, then (for a Chinese region without a table, such as Macau) the nearest table of
// the same script, then English; nullptr when none of them has the id.
[[nodiscard]] const char* FindStringText(std::span<const StringResource> tables, UINT id,
                                         LANGID language);

// Copies the text of `id` into `buffer` (at most size - 1 bytes, never splitting a UTF-8
// sequence, always terminated) and returns the number of bytes copied; 0 when no table
// has the id or the buffer is unusable. `language` 0 means the thread's language.
[[nodiscard]] int LoadStringA(UINT id, char* buffer, int size, LANGID language = 0);

// A language the module has texts for, with the POSIX locale name other programs know it by
// ("de", "pt_BR", "zh_TW"); English is "en".
struct ShippedLanguage {
  LANGID id;
  const char* locale;
};
// The twenty languages of the string tables, English first.
[[nodiscard]] std::span<const ShippedLanguage> ShippedLanguages() noexcept;

// Message texts are loaded into buffers of this size.
inline constexpr int kStringBufferSize = 1024;
// The text of `id` as LoadStringA gives it into a kStringBufferSize buffer; empty when
// there is none.
std::string LoadStringText(UINT id, LANGID language = 0);
