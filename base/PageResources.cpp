// Page resources looked up by name and language with the string tables' fallback.
#include "base/PageResources.h"

#include <algorithm>

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "platform/Kernel.h"

namespace {

LANGID ThreadLanguage(LANGID language) {
  return language != 0 ? language : LANGIDFROMLCID(GetThreadLocale());
}

const PageResource* Find(std::string_view name, LANGID language) {
  for (const PageResource& resource : AllPageResources())
    if (resource.language == language && name == resource.name) return &resource;
  return nullptr;
}

}  // namespace

std::optional<std::string_view> LoadPageResource(std::string_view name, LANGID language) {
  language = ThreadLanguage(language);
  const PageResource* found = Find(name, language);
  if (found == nullptr) found = Find(name, PRIMARYLANGID(language));
  if (found == nullptr) {
    // A primary language's own resources carry its default sublanguage (1033 for English).
    for (const PageResource& resource : AllPageResources())
      if (resource.language != 0 && PRIMARYLANGID(resource.language) == PRIMARYLANGID(language) &&
          name == resource.name) {
        found = &resource;
        break;
      }
  }
  if (found == nullptr) found = Find(name, kFallbackLanguage);
  if (found == nullptr) found = Find(name, 0);
  if (found == nullptr) return std::nullopt;
  return std::string_view(found->data, found->size);
}

std::string LoadPageText(std::string_view page, std::string_view item, LANGID language) {
  const char* text = FindDialogText(
      std::span<const DialogTextResource>(kDialogTextResources, kDialogTextResourceCount), "page",
      page, item, ThreadLanguage(language));
  return text != nullptr ? text : "";
}

std::vector<std::pair<std::string, std::string>> LoadPageTexts(std::string_view page,
                                                               LANGID language) {
  std::vector<std::pair<std::string, std::string>> texts;
  for (std::size_t i = 0; i < kDialogTextResourceCount; ++i) {
    const DialogTextResource& entry = kDialogTextResources[i];
    if (entry.kind == nullptr || entry.resource == nullptr || entry.item == nullptr ||
        std::string_view(entry.kind) != "page" || page != entry.resource)
      continue;
    const bool seen = std::any_of(texts.begin(), texts.end(),
                                  [&](const auto& text) { return text.first == entry.item; });
    if (!seen) texts.emplace_back(entry.item, LoadPageText(page, entry.item, language));
  }
  return texts;
}
