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

// Languages whose primary language has no table of its own, with the shipped table that
// reads most naturally to their users. Chinese has tables only per script and region.
struct NearestTable {
  LANGID language;
  LANGID nearest;
};
constexpr NearestTable kNearestTables[] = {
    {0x1404, 0x0C04},  // Macau reads the Traditional Chinese of Hong Kong
    {0x7C04, 0x0404},  // Traditional Chinese without a region
    {0x0004, 0x0804},  // Simplified Chinese without a region
};

LANGID NearestTableLanguage(LANGID language) {
  for (const NearestTable& n : kNearestTables)
    if (n.language == language) return n.nearest;
  return 0;
}

constexpr ShippedLanguage kShippedLanguages[] = {
    {1033, "en"}, {7, "de"},       {10, "es"},      {12, "fr"},      {16, "it"},
    {19, "nl"},   {22, "pt"},      {1046, "pt_BR"}, {1029, "cs"},    {1030, "da"},
    {1045, "pl"}, {1049, "ru"},    {1055, "tr"},    {1057, "id"},    {1041, "ja"},
    {1042, "ko"}, {2052, "zh_CN"}, {4100, "zh_SG"}, {1028, "zh_TW"}, {3076, "zh_HK"},
};

}  // namespace

std::span<const ShippedLanguage> ShippedLanguages() noexcept { return kShippedLanguages; }

const char* FindStringText(std::span<const StringResource> tables, UINT id, LANGID language) {
  // The tables exist per full language id (1033, 2052, ...) and per primary language
  // (7 German, 12 French, ...); the user's language is tried in that order, then the nearest
  // table for a language whose primary language has none, then English.
  const StringResource* entry = FindEntry(tables, language, id);
  if (entry == nullptr) entry = FindEntry(tables, PRIMARYLANGID(language), id);
  const LANGID nearest = NearestTableLanguage(language);
  if (entry == nullptr && nearest != 0) entry = FindEntry(tables, nearest, id);
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
