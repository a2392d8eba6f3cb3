// The page-control wrappers over a page of the test's own, and the page site's key rules.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/DialogResources.h"
#include "sharing/CCustomControlSite.h"
#include "sharing/CQVHTMLButton.h"
#include "sharing/CQVHTMLComboBox.h"
#include "sharing/CQVHTMLEdit.h"
#include "suite/QvDialogIds.h"
#include "tests/common/HeadlessUi.h"

namespace {

constexpr const char* kPage = R"(<html><body>
<!-- <select id="commented"></select> -->
<input id="go" type="button" hidden><input id="name" type="text">
<select id="pick" size="3"></select><p id="note">text</p>
<script>var s = '<input id="scripted" type="button">';</script>
</body></html>)";

// Runs `body` once the page is there, then closes.
class PageDialog : public CDHtmlDialog {
 public:
  explicit PageDialog(std::function<void(PageDialog&)> body)
      : CDHtmlDialog(LoadDialogTemplate(IDD_SELECT_USERS), PageSource{"Test.htm", kPage, {}},
                     nullptr),
        body_(std::move(body)) {}

 protected:
  void OnDocumentComplete() override {
    body_(*this);
    EndDialog(IDOK);
  }

 private:
  std::function<void(PageDialog&)> body_;
};

PageSnapshot RunPage(HeadlessUi& ui, std::function<void(PageDialog&)> body) {
  PageDialog dialog(std::move(body));
  EXPECT_EQ(dialog.DoModal(), IDOK);
  PageSnapshot page;
  EXPECT_TRUE(ui.LastPage(IDD_SELECT_USERS, &page));
  return page;
}

TEST(PageControlsTest, WrappersChangeTheirElementAndTellItsStatusScript) {
  HeadlessUi ui;
  std::string typed;
  std::string third;
  const PageSnapshot page = RunPage(ui, [&](PageDialog& dialog) {
    CQVHTMLButton go(dialog, "go");
    CQVHTMLEdit name(dialog, "name");
    CQVHTMLComboBox pick(dialog, "pick");
    EXPECT_TRUE(go.Enable(false));
    EXPECT_TRUE(name.SetValue("<b>bold</b>"));
    EXPECT_TRUE(name.GetValue(&typed));
    EXPECT_TRUE(name.Show(false));
    for (const char* option : {"one", "<img src=x onerror=alert(1)>", "three"})
      EXPECT_TRUE(pick.AddItem(option));
    EXPECT_EQ(pick.ItemCount(), 3);
    EXPECT_EQ(pick.SelectedIndex(), -1);
    EXPECT_TRUE(pick.Select(2));
    EXPECT_TRUE(pick.TextAt(2, &third));
    EXPECT_TRUE(pick.DeleteAt(0));
    EXPECT_EQ(pick.SelectedIndex(), 1) << "the selection follows its option";
    EXPECT_FALSE(pick.Select(2));
    EXPECT_FALSE(pick.TextAt(-1, &third));
  });
  EXPECT_EQ(typed, "<b>bold</b>");
  EXPECT_EQ(third, "three");
  EXPECT_EQ(page.CallsTo("go_Status_Script"), "2");
  EXPECT_EQ(page.CallsTo("name_Status_Script"), "53");
  EXPECT_EQ(page.CallsTo("pick_Status_Script"), "555");
  const PageElementState* pick = page.Element("pick");
  ASSERT_NE(pick, nullptr);
  // Option texts are kept as the data they are: markup in a name stays text.
  EXPECT_EQ(pick->options, (std::vector<std::string>{"<img src=x onerror=alert(1)>", "three"}));
  EXPECT_FALSE(page.Element("go")->enabled);
  EXPECT_FALSE(page.Element("name")->visible);
  // Only real elements count: not those in comments or in script text.
  EXPECT_EQ(page.Element("commented"), nullptr);
  EXPECT_EQ(page.Element("scripted"), nullptr);
}

TEST(PageControlsTest, AWrapperWithoutItsElementFailsAndCallsNoScript) {
  HeadlessUi ui;
  const PageSnapshot page = RunPage(ui, [](PageDialog& dialog) {
    CQVHTMLButton missing(dialog, "gone");
    CQVHTMLEdit notAnEdit(dialog, "pick");  // a list is no text box
    CQVHTMLComboBox notAList(dialog, "name");
    std::string value = "kept";
    EXPECT_FALSE(missing.Enable(true));
    EXPECT_FALSE(notAnEdit.SetValue("x"));
    EXPECT_FALSE(notAList.AddItem("x"));
    EXPECT_EQ(notAList.ItemCount(), -1);
    EXPECT_FALSE(CQVHTMLEdit(dialog, "gone").GetValue(&value));
    EXPECT_FALSE(CQVHTMLEdit(dialog, "gone").Show(true));
    EXPECT_FALSE(CQVHTMLComboBox(dialog, "gone").RemoveAll());
    EXPECT_EQ(value, "kept");
  });
  EXPECT_TRUE(page.calls.empty()) << page.calls.front().first;
}

TEST(PageControlsTest, TheSiteSwallowsBrowserShortcutsOnly) {
  const CCustomControlSite site(nullptr);
  constexpr KeyModifiers kNone{};
  constexpr KeyModifiers kCtrl{true, false, false};
  constexpr KeyModifiers kCtrlAltGr{true, false, true};
  const struct {
    const char* what;
    UINT message;
    WPARAM key;
    KeyModifiers modifiers;
    HRESULT expected;
  } cases[] = {
      {"Ctrl+C", WM_KEYDOWN, 'C', kCtrl, S_FALSE},
      {"Ctrl+V", WM_KEYDOWN, 'V', kCtrl, S_FALSE},
      {"Ctrl+V with a high byte", WM_KEYDOWN, 0x100 + 'V', kCtrl, S_FALSE},
      {"Ctrl+N", WM_KEYDOWN, 'N', kCtrl, S_OK},
      {"Ctrl+P", WM_KEYDOWN, 'P', kCtrl, S_OK},
      {"AltGr+Q", WM_KEYDOWN, 'Q', kCtrlAltGr, S_FALSE},
      {"F1", WM_KEYDOWN, 0x70, kNone, S_FALSE},
      {"F5", WM_KEYDOWN, 0x74, kNone, S_OK},
      {"F12", WM_KEYDOWN, 0x7B, kNone, S_OK},
      {"Backspace", WM_KEYDOWN, 0x08, kNone, S_FALSE},
      {"Enter", WM_KEYDOWN, 0x0D, kNone, S_FALSE},
      {"a letter", WM_KEYDOWN, 'N', kNone, S_FALSE},
      {"Ctrl+N released", WM_KEYDOWN + 1, 'N', kCtrl, S_FALSE},
  };
  for (const auto& c : cases)
    EXPECT_EQ(site.TranslateAccelerator(c.message, c.key, c.modifiers), c.expected) << c.what;
  const CCustomControlSite strict(
      nullptr, CCustomControlSite::kDefaultKeyMask | CCustomControlSite::kBackspaceBit);
  EXPECT_EQ(strict.TranslateAccelerator(WM_KEYDOWN, 0x08, kNone), S_OK);
  EXPECT_EQ(strict.TranslateAccelerator(WM_KEYDOWN, 0x0D, kNone), S_FALSE);
}

}  // namespace
