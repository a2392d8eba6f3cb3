// The layouts of the product's dialogs and the loader that fills in their texts.
#include "base/DialogResources.h"

#include <vector>

#include "base/StringTable.h"
#include "platform/Kernel.h"
#include "platform/MessageBox.h"

namespace {

struct ControlLayout {
  int id;
  ControlKind kind;
  DWORD style;
  UINT resource;  // icon or animation shown from the start
};

struct DialogLayout {
  UINT id;
  short width;  // dialog units
  short height;
  std::span<const ControlLayout> controls;
};

// The styles a resource script gives its statements.
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kPush = kChild | WS_TABSTOP;
constexpr DWORD kDefPush = kPush | BS_DEFPUSHBUTTON;
constexpr DWORD kCheck = kChild | WS_TABSTOP;
constexpr ControlKind kButton = ControlKind::Button;
constexpr ControlKind kText = ControlKind::Static;
constexpr ControlKind kIcon = ControlKind::Icon;

constexpr ControlLayout kBadPassword[] = {
    {IDOK, kButton, kPush, 0},
    {IDC_STATIC, kIcon, kChild, IDI_ACCESS_ERROR},
    {IDC_BAD_PASSWORD_TEXT, kText, kChild, 0},
    {IDC_STATIC, kText, kChild, 0},
};

constexpr ControlLayout kInvalidUser[] = {
    {IDOK, kButton, kDefPush, 0},
    {IDC_STATIC, kIcon, kChild, IDI_ACCESS_ERROR},
    {IDC_INVALID_USER_TEXT, kText, kChild, 0},
};

constexpr ControlLayout kProgress[] = {
    {IDCANCEL, kButton, kPush, 0},
    {IDC_PROGRESS_LIST, ControlKind::ListView, kChild | WS_BORDER | WS_TABSTOP | LVS_REPORT, 0},
    {IDC_PROGRESS_TEXT, kText, kChild, 0},
    {IDC_FILES_REMAINING, kText, kChild, 0},
    {IDC_PROGRESS_BAR, ControlKind::ProgressBar, kChild | WS_BORDER, 0},
    {IDC_PROGRESS_ANIMATION, ControlKind::Animation, kChild, 0},
};

// The sharing page's user list; its busy animation shows only while the list is filled.
constexpr ControlLayout kShareList[] = {
    {IDC_SHARE_LIST, ControlKind::ListView,
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | LVS_REPORT | LVS_EDITLABELS |
         LVS_SHAREIMAGELISTS,
     0},
    {IDC_SHARE_ANIMATION, ControlKind::Animation, WS_CHILD | ACS_TRANSPARENT, 0},
};

constexpr ControlLayout kAddError[] = {
    {IDOK, kButton, kPush, 0},
    {IDC_STATIC, kIcon, kChild, IDI_ACCESS_ERROR},
    {IDC_STATIC, kText, kChild, 0},
};

constexpr ControlLayout kConfirmReplace[] = {
    {IDOK, kButton, kDefPush, 0},         {IDCANCEL, kButton, kPush, 0},
    {IDC_YES_TO_ALL, kButton, kPush, 0},  {IDC_NO_TO_ALL, kButton, kPush, 0},
    {IDC_STATIC, kText, kChild, 0},       {IDC_STATIC, kIcon, kChild, IDI_REPLACE},
    {IDC_REPLACE_ICON, kIcon, kChild, 0}, {IDC_REPLACE_NAME, kText, kChild, 0},
    {IDC_STATIC, kText, kChild, 0},
};

constexpr ControlLayout kBackupWarning[] = {
    {IDOK, kButton, kPush, 0},
    {IDC_STATIC, kIcon, kChild, IDI_WARNING},
    {IDC_STATIC, kText, kChild, 0},
    {IDC_STATIC, kText, kChild, 0},
    {IDC_WARNING_DONT_SHOW, ControlKind::CheckBox, kCheck, 0},
};

constexpr ControlLayout kDbConvert[] = {
    {IDC_STATIC, kIcon, kChild, IDI_WARNING},
    {IDC_CONVERT_TEXT, kText, kChild, 0},
    {IDC_CONVERT_WARNING, kText, kChild, 0},
    {IDC_CONVERT_DONT_SHOW, ControlKind::CheckBox, kCheck, 0},
    {IDOK, kButton, kDefPush, 0},
    {IDCANCEL, kButton, kPush, 0},
};

constexpr DialogLayout kDialogs[] = {
    {IDD_BAD_PASSWORD, 248, 94, kBadPassword},
    {IDD_INVALID_USER, 200, 57, kInvalidUser},
    {IDD_PROGRESS, 273, 154, kProgress},
    {IDD_SHARE_LIST, 187, 90, kShareList},
    {IDD_ADD_ERROR, 200, 57, kAddError},
    {IDD_CONFIRM_REPLACE, 264, 113, kConfirmReplace},
    {IDD_BACKUP_WARNING, 288, 87, kBackupWarning},
    {IDD_DB_CONVERT, 343, 151, kDbConvert},
    // The sharing dialog: an empty frame, its page shows everything inside it.
    {IDD_SELECT_USERS, 550, 500, {}},
};

// Icons and animations carry no text of their own, so they do not count as staticN.
bool CarriesText(ControlKind kind) {
  return kind == ControlKind::Button || kind == ControlKind::CheckBox ||
         kind == ControlKind::Static || kind == ControlKind::Edit;
}

std::span<const DialogTextResource> EmbeddedTexts() {
  return {kDialogTextResources, kDialogTextResourceCount};
}

LANGID ResolveLanguage(LANGID language) {
  return language != 0 ? language : LANGIDFROMLCID(GetThreadLocale());
}

}  // namespace

const char* FindDialogText(std::span<const DialogTextResource> texts, std::string_view kind,
                           std::string_view resource, std::string_view item, LANGID language) {
  // The entry's text in every language it has, looked up with the string table's order.
  std::vector<StringResource> translations;
  for (const DialogTextResource& t : texts) {
    if (t.kind == nullptr || t.resource == nullptr || t.item == nullptr) continue;
    if (kind == t.kind && resource == t.resource && item == t.item)
      translations.push_back(StringResource{t.language, 0, t.text});
  }
  return FindStringText(translations, 0, language);
}

std::string LoadDialogText(const char* kind, UINT resource, const char* item, LANGID language) {
  if (kind == nullptr || item == nullptr) return {};
  const char* text = FindDialogText(EmbeddedTexts(), kind, std::to_string(resource), item,
                                    ResolveLanguage(language));
  return text != nullptr ? text : "";
}

std::optional<DialogTemplate> LoadDialogTemplate(UINT templateId, LANGID language) {
  const DialogLayout* layout = nullptr;
  for (const DialogLayout& d : kDialogs)
    if (d.id == templateId) layout = &d;
  if (layout == nullptr) return std::nullopt;

  language = ResolveLanguage(language);
  const std::string resource = std::to_string(templateId);
  const auto text = [&](const char* kind, const std::string& item) {
    const char* found = FindDialogText(EmbeddedTexts(), kind, resource, item, language);
    return std::string(found != nullptr ? found : "");
  };
  DialogTemplate result;
  result.id = templateId;
  result.width = layout->width;
  result.height = layout->height;
  result.caption = text("caption", "-");
  int unnamed = 0;
  for (const ControlLayout& c : layout->controls) {
    ControlTemplate control{c.id, c.kind, {}, c.style, c.resource};
    if (CarriesText(c.kind)) {
      control.text = text("control", c.id != IDC_STATIC ? std::to_string(c.id)
                                                        : "static" + std::to_string(++unnamed));
    }
    result.controls.push_back(std::move(control));
  }
  return result;
}
