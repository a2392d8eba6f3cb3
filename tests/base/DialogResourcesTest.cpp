// Dialog templates as the product builds them: every embedded text lands on a control of its
// template, texts fall back by language like the string table, and a template the module
// lacks cannot be run.
#include <gtest/gtest.h>

#include <span>
#include <string>

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/ui/Dialog.h"

namespace {

// The control with `id`, or the n-th text without an id for "staticN".
const ControlTemplate* FindControl(const DialogTemplate& t, const std::string& item) {
  const bool unnamed = item.rfind("static", 0) == 0;
  int n = std::stoi(unnamed ? item.substr(6) : item);
  for (const ControlTemplate& c : t.controls) {
    if (!unnamed && c.id == n) return &c;
    if (unnamed && c.id == IDC_STATIC && c.kind == ControlKind::Static && --n == 0) return &c;
  }
  return nullptr;
}

TEST(DialogResourcesTest, EveryEmbeddedDialogTextLandsOnItsControl) {
  int checked = 0;
  for (const DialogTextResource& r : std::span(kDialogTextResources, kDialogTextResourceCount)) {
    const std::string kind = r.kind;
    if (r.language != kFallbackLanguage || (kind != "caption" && kind != "control")) continue;
    SCOPED_TRACE(testing::Message() << kind << " " << r.resource << " " << r.item);
    const auto t = LoadDialogTemplate(static_cast<UINT>(std::stoul(r.resource)), 1033);
    ASSERT_TRUE(t.has_value()) << "the text names a template the module does not have";
    const ControlTemplate* control = kind == "caption" ? nullptr : FindControl(*t, r.item);
    ASSERT_TRUE(kind == "caption" || control != nullptr) << "the template has no such control";
    EXPECT_EQ(kind == "caption" ? t->caption : control->text, r.text);
    ++checked;
  }
  EXPECT_GE(checked, 25) << "the dialog texts were not embedded";
}

TEST(DialogResourcesTest, TextsFallBackFromLanguageToPrimaryLanguageToEnglish) {
  const DialogTextResource texts[] = {
      {1033, "control", "701", "1", "Yes"},   {1033, "control", "701", "2", "No"},
      {22, "control", "701", "1", "Sim"},     {1046, "control", "701", "2", "Nao (pt-BR)"},
      {1046, "popup", "701", "1", "a popup"},  // another kind: not a control's text
  };
  EXPECT_STREQ(FindDialogText(texts, "control", "701", "2", 1046), "Nao (pt-BR)");
  EXPECT_STREQ(FindDialogText(texts, "control", "701", "1", 1046), "Sim");
  EXPECT_STREQ(FindDialogText(texts, "control", "701", "2", 2070), "No");
  EXPECT_EQ(FindDialogText(texts, "control", "702", "1", 1033), nullptr);

  // The thread's language is the default; Swedish has no texts, so English shows.
  const LCID saved = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(0x041D, 0)));
  const auto t = LoadDialogTemplate(IDD_CONFIRM_REPLACE);
  const std::string menuItem = LoadDialogText("menuitem", 608, "0:32774");
  ASSERT_TRUE(SetThreadLocale(saved));
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->caption, "Confirm Replace");
  EXPECT_EQ(menuItem, "Decrypt To...");
  EXPECT_EQ(LoadDialogText("popup", 608, "7", 1033), "");
}

TEST(DialogResourcesTest, ATemplateTheModuleLacksCannotBeRun) {
  for (UINT id : {0u, 608u, 999u}) {  // 608 is a menu, not a dialog
    EXPECT_FALSE(LoadDialogTemplate(id, 1033).has_value()) << id;
    CDialog dialog(LoadDialogTemplate(id), nullptr);
    EXPECT_EQ(dialog.DoModal(), -1) << id;
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND) << id;
  }
}

}  // namespace
