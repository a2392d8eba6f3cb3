// The module's dialog resources: the templates of the product's dialogs, made from a table of
// layouts kept in code (controls, kinds, styles, icons, sizes) and the texts of res/dialogs,
// embedded at build time, in the user's language with the same fallback as the string table.
// The ids below are those of the dialog resources; the code that runs a dialog addresses its
// controls by them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/WinTypes.h"
#include "platform/ui/UiTypes.h"

// One text of a dialog, menu or page (see res/EmbedStrings.cpp for the kinds).
struct DialogTextResource {
  LANGID language;
  const char* kind;      // caption, control, popup, menuitem, page, pageset
  const char* resource;  // template or menu id in decimal, or the page's name
  const char* item;      // "-", a control id, staticN, a popup index, popup:command, a name
  const char* text;
};

// Generated from res/dialogs (see res/EmbedStrings.cpp).
extern const DialogTextResource kDialogTextResources[];
extern const size_t kDialogTextResourceCount;

// ---- Dialog templates ----
inline constexpr UINT IDD_BAD_PASSWORD = 138;
inline constexpr UINT IDD_INVALID_USER = 180;
inline constexpr UINT IDD_PROGRESS = 207;
inline constexpr UINT IDD_SHARE_LIST = 603;
inline constexpr UINT IDD_ADD_ERROR = 605;
inline constexpr UINT IDD_CONFIRM_REPLACE = 701;
inline constexpr UINT IDD_BACKUP_WARNING = 713;
inline constexpr UINT IDD_DB_CONVERT = 714;

// ---- Icons shown by the templates ----
inline constexpr UINT IDI_ACCESS_ERROR = 140;
inline constexpr UINT IDI_REPLACE = 703;
inline constexpr UINT IDI_WARNING = 712;

// ---- Controls ----
// The replace confirmation's extra buttons; like Yes (IDOK) and No (IDCANCEL), their id is the
// dialog's result.
inline constexpr int IDC_YES_TO_ALL = 3;
inline constexpr int IDC_NO_TO_ALL = 4;
inline constexpr int IDC_PROGRESS_LIST = 201;
inline constexpr int IDC_PROGRESS_TEXT = 900;
inline constexpr int IDC_PROGRESS_BAR = 902;
inline constexpr int IDC_FILES_REMAINING = 904;
inline constexpr int IDC_PROGRESS_ANIMATION = 908;
inline constexpr int IDC_SHARE_LIST = 601;
inline constexpr int IDC_SHARE_ANIMATION = 913;
inline constexpr int IDC_REPLACE_ICON = 906;
inline constexpr int IDC_REPLACE_NAME = 907;
inline constexpr int IDC_BAD_PASSWORD_TEXT = 909;
inline constexpr int IDC_WARNING_DONT_SHOW = 914;
inline constexpr int IDC_CONVERT_TEXT = 918;
inline constexpr int IDC_CONVERT_WARNING = 919;
inline constexpr int IDC_CONVERT_DONT_SHOW = 920;
inline constexpr int IDC_INVALID_USER_TEXT = 923;

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
