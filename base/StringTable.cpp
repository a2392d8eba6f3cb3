// Loading texts from the embedded string tables, in the thread's language with English as
// the fallback.
#include "base/StringTable.h"

#include "platform/Kernel.h"
#include "platform/Utf8.h"

namespace {

const StringResource* FindEntry(std::span<const StringResource> tables, LANGID language, UINT id) {
  for (const StringResource& r : tables)
    if (r.id == id && r.language == language && r.text != nullptr) return &r;
  return nullptr;
}

}  // namespace

const char* FindStringText(std::span<const StringResource> tables, UINT id, LANGID language) {
  // The tables exist per full language id (1033, 2052, ...) and per primary language
  // (7 German, 12 French, ...); the user's language is tried in that order, then English.
  const StringResource* entry = FindEntry(tables, language, id);
  if (entry == nullptr) entry = FindEntry(tables, PRIMARYLANGID(language), id);
  if (entry == nullptr) entry = FindEntry(tables, kFallbackLanguage, id);
  return entry != nullptr ? entry->text : nullptr;
}

int LoadStringA(UINT id, char* buffer, int size, LANGID language) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (language == 0) language = LANGIDFROMLCID(GetThreadLocale());
  const char* text =
      FindStringText(std::span(kStringResources, kStringResourceCount), id, language);
  if (text == nullptr) return 0;
  return static_cast<int>(CopyUtf8Cut(buffer, static_cast<size_t>(size), text));
}

std::string LoadStringText(UINT id, LANGID language) {
  char buffer[kStringBufferSize];
  return LoadStringA(id, buffer, sizeof buffer, language) > 0 ? std::string(buffer) : std::string();
}
