// Loading texts from the embedded string tables, in the thread's language with English as
// the fallback.
#include "core/StringTable.h"

#include <cstring>

#include "platform/Kernel.h"

namespace {

const StringResource* FindEntry(LANGID language, UINT id) {
  for (size_t i = 0; i < kStringResourceCount; ++i) {
    const StringResource& r = kStringResources[i];
    if (r.id == id && r.language == language && r.text != nullptr) return &r;
  }
  return nullptr;
}

// Largest length <= limit that does not end inside a UTF-8 sequence.
size_t Utf8CutLength(const char* text, size_t length, size_t limit) {
  if (length <= limit) return length;
  size_t cut = limit;
  // Step back over continuation bytes to the lead byte of the cut character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace

int LoadStringA(UINT id, char* buffer, int size, LANGID language) {
  if (buffer == nullptr || size <= 0) return 0;
  buffer[0] = '\0';
  if (language == 0) language = LANGIDFROMLCID(GetThreadLocale());
  // The tables exist per full language id (1033, 2052, ...) and per primary language
  // (7 German, 12 French, ...); the user's language is tried in that order, then English.
  const StringResource* entry = FindEntry(language, id);
  if (entry == nullptr) entry = FindEntry(PRIMARYLANGID(language), id);
  if (entry == nullptr) entry = FindEntry(kFallbackLanguage, id);
  if (entry == nullptr) return 0;
  const size_t length =
      Utf8CutLength(entry->text, std::strlen(entry->text), static_cast<size_t>(size - 1));
  std::memcpy(buffer, entry->text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

std::string LoadStringText(UINT id, LANGID language) {
  char buffer[kStringBufferSize];
  return LoadStringA(id, buffer, sizeof buffer, language) > 0 ? std::string(buffer) : std::string();
}
