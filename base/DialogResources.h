// The module's dialog resources: the templates of the product's dialogs, made from a table of
// layouts kept in code (controls, kinds, styles, icons, sizes) and the texts of res/dialogs,
// embedded at build time, in the user's language with the same fallback as the string table.
// The ids of the dialog resources, by which the code that runs a dialog addresses its
// controls, are in suite/QvDialogIds.h.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvDialogIds.h"

// One text of a dialog, menu or page (see res/EmbedStrings.cpp for the kinds).
struct DialogTextResource {
  LANGID language;
  const char* kind;      // caption, control, popup, menuitem, page, pageset, desktop
  const char* resource;  // template or menu id in decimal, or the page's name
  const char* item;      // "-", a control id, staticN, a popup index, popup:command, a name
  const char* text;
};

// Generated from res/dialogs (see res/EmbedStrings.cpp).
extern const DialogTextResource kDialogTextResources[];
extern const size_t kDialogTextResourceCount;

// The template `templateId` with its texts in `language` (0: the thread's language); empty
// when the module has no such dialog, which makes CDialog::DoModal return -1. Controls whose
// text is set at run time have an empty text.
[[nodiscard]] std::optional<DialogTemplate> LoadDialogTemplate(UINT templateId,
                                                               LANGID language = 0);

// The text of one entry of `texts` in `language`: its own, then its primary language's, then
// the English one; nullptr when none of them has the entry.
[[nodiscard]] const char* FindDialogText(std::span<const DialogTextResource> texts,
                                         std::string_view kind, std::string_view resource,
                                         std::string_view item, LANGID language);

// The embedded text of a dialog, menu or popup entry, e.g. ("menuitem", 608, "0:32773"), in
// `language` (0: the thread's language); empty when there is none.
std::string LoadDialogText(const char* kind, UINT resource, const char* item, LANGID language = 0);
