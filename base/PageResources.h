// The module's page resources (resource type 2110): the sharing page's file, scripts, style
// sheet and images, shared by every language, and its text and settings documents, generated
// per language from res/dialogs at build time (res/Resources.cmake). A page addresses them by
// file name.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/WinTypes.h"

inline constexpr UINT kPageResourceType = 2110;

struct PageResource {
  LANGID language;  // 0: every language
  const char* name;
  const char* data;
  std::size_t size;
};

// Generated (see res/EmbedPages.cmake).
std::span<const PageResource> AllPageResources() noexcept;

// The resource `name` for `language` (0: the thread's language): its own, then its primary
// language's, then English, then the one every language shares; empty when there is none.
[[nodiscard]] std::optional<std::string_view> LoadPageResource(std::string_view name,
                                                               LANGID language = 0);

// The text of element `item` of page `page` in `language` (0: the thread's language), as the
// page's text document holds it; empty when there is none.
std::string LoadPageText(std::string_view page, std::string_view item, LANGID language = 0);
// Every text of page `page` (element id or "<button>_Lbl", text) in `language`.
std::vector<std::pair<std::string, std::string>> LoadPageTexts(std::string_view page,
                                                               LANGID language = 0);
