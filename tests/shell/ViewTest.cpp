// The container view driven as a file manager drives it, over containers built by the engine:
// what it lists and how, verification and the module tables across views, the toolbar, keys,
// view state and refresh.
#include <cstring>

#include "base/ClassIds.h"
#include "platform/Registry.h"
#include "platform/ui/Accelerators.h"
#include "shell/CMainDlg.h"
#include "shell/CQvShellView.h"
#include "tests/shell/ViewTestSupport.h"

namespace view_test {
namespace {

using engine_test::Bytes;

class ViewTest : public ViewFixture {};

TEST_F(ViewTest, ListsFoldersThenFilesWithSizesTypesAndDates) {
  const std::string container = MakeContainer({{"empty.bin", ""},
                                               {"one.bin", "x"},
                                               {"kilo.bin", Bytes(1024, 'k')},
                                               {"kilo1.bin", Bytes(1025, 'l')},
                                               {"a.qvf.b.txt", "text"}},
                                              {"Docs"});
  OpenView open = Open(container);
  std::vector<std::string> rows = open.Rows();
  ASSERT_EQ(rows.size(), 6u) << ::testing::PrintToString(rows);
  // Folders first, then files, by name.
  EXPECT_EQ(rows.front().substr(0, rows.front().find(" | ", rows.front().find(" | ") + 3)),
            "Docs | 0 KB");
  EXPECT_NE(rows.front().find(" | Folder | "), std::string::npos) << rows.front();
  std::map<std::string, std::string> sizeOf;
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::string name = rows[i].substr(0, rows[i].find(" | "));
    const std::string rest = rows[i].substr(name.size() + 3);
    sizeOf[name] = rest.substr(0, rest.find(" | "));
    EXPECT_NE(rest.find(" | Folder"), 0u);
    EXPECT_FALSE(rows[i].ends_with(" | ")) << "a file without a date: " << rows[i];
  }
  EXPECT_EQ(sizeOf["empty.bin"], "0 KB");
  EXPECT_EQ(sizeOf["one.bin"], "1 KB");
  EXPECT_EQ(sizeOf["kilo.bin"], "1 KB");
  EXPECT_EQ(sizeOf["kilo1.bin"], "2 KB");
  EXPECT_EQ(sizeOf.count("a.qvf.b.txt"), 1u) << "only a final .qvf is taken off";

  // The container now counts one verified view, and the view is registered by its key.
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 1u);
  EXPECT_EQ(QvModuleTables().VerifiedUser(container), kMe);
  EXPECT_EQ(QvModuleTables().OpenViewsOf(container), std::vector<HWND>{open.window});
  open.Close();
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);
  EXPECT_EQ(QvModuleTables().VerifiedUser(container), "");
  EXPECT_EQ(QvModuleTables().OpenViewCount(), 0u);
}

TEST_F(ViewTest, TwoViewsShareOneVerificationAndClosingOneKeepsTheOther) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  OpenView first = Open(container);
  OpenView second = Open(container, /*password=*/"");
  EXPECT_EQ(PasswordPrompts(), 1) << "the second view asked again";
  EXPECT_EQ(second.Rows().size(), 1u);
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 2u);

  first.Close();
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 1u);
  EXPECT_EQ(second.view->Refresh(), S_OK);
  EXPECT_EQ(second.Rows().size(), 1u) << "the other view lost its container";
  second.Close();

  // After the last view, the next one asks again.
  OpenView third = Open(container);
  EXPECT_EQ(PasswordPrompts(), 2);
  EXPECT_EQ(third.Rows().size(), 1u);
}

TEST_F(ViewTest, ARefusedViewListsNothingAndClosingItKeepsAnotherViewsUser) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  OpenView refused = Open(container, /*password=*/"");
  EXPECT_TRUE(refused.Rows().empty());
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);

  OpenView verified = Open(container);
  EXPECT_EQ(verified.Rows().size(), 1u);
  refused.Close();
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 1u)
      << "a refused view took away a count it never added";
  EXPECT_EQ(QvModuleTables().VerifiedUser(container), kMe);
  EXPECT_EQ(verified.view->Refresh(), S_OK);
  EXPECT_EQ(verified.Rows().size(), 1u);
}

TEST_F(ViewTest, AWrongPasswordIsAskedAgainAndCancellingLeavesTheListEmpty) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  ui_.TypeAndPress(kPasswordDialogId, kPasswordEditId, "wrong", IDOK);
  ui_.PressButton(IDD_BAD_PASSWORD, IDOK);
  ui_.PressButton(kPasswordDialogId, IDCANCEL);
  OpenView open = Open(container, /*password=*/"");
  EXPECT_EQ(PasswordPrompts(), 2);
  EXPECT_TRUE(open.Rows().empty());
  EXPECT_EQ(QvModuleTables().VerifiedViewCount(container), 0u);
}

TEST_F(ViewTest, ToolbarKeysAndViewModes) {
  const std::string container = MakeContainer({{"a.txt", "a"}, {"b.txt", "b"}});
  OpenView open = Open(container, "pw", nullptr, FVM_LIST);
  const RecordingBrowser& browser = *browser_.Get();
  ASSERT_EQ(browser.buttons.size(), 8u);
  EXPECT_EQ(browser.mergeFlags, FCT_MERGE);
  const int commands[] = {1100, 512, 1101, 0, 508, 509, 510, 511};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(browser.buttons[i].idCommand, commands[i]) << i;
    const bool checked = (browser.buttons[i].fsState & TBSTATE_CHECKED) != 0;
    EXPECT_EQ(checked, commands[i] == 510) << "only the list mode's button is checked";
  }
  EXPECT_EQ(browser.buttons[0].fsState & TBSTATE_ENABLED, 0) << "Cut starts disabled";
  EXPECT_EQ(open.List().GetView(), LVS_LIST);

  // Ctrl+A is the view's key: everything is selected and Cut/Copy/Delete follow.
  MSG ctrlA{open.window, WM_KEYDOWN, 'A', FCONTROL, 0};
  EXPECT_EQ(open.view->TranslateAccelerator(&ctrlA), S_OK);
  EXPECT_EQ(open.List().GetSelectedCount(), 2u);
  EXPECT_EQ(browser.LastState(TB_ENABLEBUTTON, 1100), 1);
  EXPECT_EQ(browser.LastState(TB_ENABLEBUTTON, 1101), 1);
  MSG esc{open.window, WM_KEYDOWN, VK_ESCAPE, 0, 0};
  EXPECT_EQ(open.view->TranslateAccelerator(&esc), S_OK) << "Esc is consumed";
  EXPECT_TRUE(IsWindow(open.window)) << "Esc closed the view";
  MSG plainA{open.window, WM_KEYDOWN, 'A', 0, 0};
  EXPECT_EQ(open.view->TranslateAccelerator(&plainA), S_FALSE);
  open.List().SetItemState(-1, 0, LVIS_SELECTED);
  EXPECT_EQ(browser.LastState(TB_ENABLEBUTTON, 512), 0);

  // The toolbar's view buttons arrive as commands.
  SendMessageA(open.window, WM_COMMAND, MAKEWPARAM(511, 0), 0);
  EXPECT_EQ(open.List().GetView(), LVS_REPORT);
  FOLDERSETTINGS settings{};
  EXPECT_EQ(open.view->GetCurrentInfo(&settings), S_OK);
  EXPECT_EQ(settings.ViewMode, FVM_DETAILS);
  EXPECT_EQ(browser.LastState(TB_CHECKBUTTON, 511), 1);
  EXPECT_EQ(browser.LastState(TB_CHECKBUTTON, 510), 0);

  // The focus goes to the first item when the view is activated with focus.
  EXPECT_EQ(open.view->UIActivate(SVUIA_ACTIVATE_FOCUS), S_OK);
  EXPECT_EQ(open.List().GetNextItem(-1, LVNI_FOCUSED), 0);
}

TEST_F(ViewTest, ViewStateIsSavedAndRestoredOnlyFromThisFolderClass) {
  const std::string container = MakeContainer({{"a.txt", "a"}});
  {
    OpenView open = Open(container, "pw", nullptr, FVM_DETAILS);
    SendMessageA(open.window, WM_COMMAND, MAKEWPARAM(509, 0), 0);
    open.List().SetColumnWidth(0, 333);
    open.List().SetColumnWidth(2, 0);
    EXPECT_EQ(open.view->SaveViewState(), S_OK);
    browser_->KeepWrittenState();
  }
  ASSERT_EQ(browser_->state.size(), kViewStateHeaderSize + 16);
  CLSID stored{};
  std::memcpy(&stored, browser_->state.data() + kViewStateClassOffset, sizeof stored);
  EXPECT_TRUE(stored == qvids::CLSID_QvShellFolder);

  const std::vector<BYTE> saved = browser_->state;
  {
    OpenView open = Open(container, "pw", nullptr, FVM_DETAILS);
    EXPECT_EQ(open.List().GetView(), LVS_SMALLICON);
    EXPECT_EQ(open.List().GetColumnWidth(0), 333);
    EXPECT_EQ(open.List().GetColumnWidth(2), kTypeColumnChars * kCharacterWidth)
        << "a stored width of 0 keeps the default";
  }
  // Another folder class's state, and a header alone, keep the settings given.
  browser_->state = saved;
  browser_->state[kViewStateClassOffset] ^= 0xFF;
  {
    OpenView open = Open(container, "pw", nullptr, FVM_LIST);
    EXPECT_EQ(open.List().GetView(), LVS_LIST);
    EXPECT_EQ(open.List().GetColumnWidth(0), kNameColumnChars * kCharacterWidth);
  }
  browser_->state.assign(saved.begin(), saved.begin() + kViewStateHeaderSize);
  {
    OpenView open = Open(container, "pw", nullptr, FVM_LIST);
    EXPECT_EQ(open.List().GetView(), LVS_SMALLICON);
    EXPECT_EQ(open.List().GetColumnWidth(0), kNameColumnChars * kCharacterWidth);
  }
  // A view mode the view does not know counts as icons.
  browser_->state = saved;
  browser_->state[kViewStateModeOffset] = 77;
  {
    OpenView open = Open(container, "pw", nullptr, FVM_LIST);
    EXPECT_EQ(open.List().GetView(), LVS_ICON);
  }
}

TEST_F(ViewTest, HiddenExtensionsHideOnlyARegisteredExtensionAtTheEnd) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER,
                            "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD hide = 1;
  ASSERT_EQ(RegSetValueExA(key, "HideFileExt", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hide),
                           sizeof hide),
            ERROR_SUCCESS);
  const std::string container =
      MakeContainer({{"report.txt", "r"}, {"archive.xyz1", "a"}, {"a.txt.b.txt", "b"}});
  OpenView open = Open(container);
  std::vector<std::string> names;
  for (int i = 0; i < open.List().GetItemCount(); ++i)
    names.push_back(open.List().GetItemText(i, 0));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt.b", "archive.xyz1", "report"}));

  hide = 0;
  ASSERT_EQ(RegSetValueExA(key, "HideFileExt", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hide),
                           sizeof hide),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(open.view->Refresh(), S_OK);
  names.clear();
  for (int i = 0; i < open.List().GetItemCount(); ++i)
    names.push_back(open.List().GetItemText(i, 0));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt.b.txt", "archive.xyz1", "report.txt"}));
}

TEST_F(ViewTest, ASubFolderViewListsItsOwnItemsAndRefreshSeesChanges) {
  const std::string container =
      MakeContainer({{"top.txt", "t"}, {"Docs/inner.txt", "i"}}, {"Docs"});
  OpenView root = Open(container);
  CListCtrl list = root.List();
  int docs = -1;
  for (int i = 0; i < list.GetItemCount(); ++i)
    if (list.GetItemText(i, 0) == "Docs") docs = i;
  ASSERT_GE(docs, 0);
  OpenView sub;
  ASSERT_EQ(
      root.folder->BindToObject(reinterpret_cast<LPCITEMIDLIST>(list.GetItemData(docs)), nullptr,
                                IID_IShellFolder, sub.folder.ReleaseAndGetVoidAddressOf()),
      S_OK);
  sub = ShowView(std::move(sub), /*password=*/"", nullptr);
  ASSERT_EQ(sub.Rows().size(), 1u);
  EXPECT_EQ(sub.Rows()[0].substr(0, 9), "inner.txt");
  EXPECT_EQ(PasswordPrompts(), 1);

  // A file dropped into the root appears at the next refresh, and command 32778 (what other
  // views post after a change) refreshes too.
  engine_test::WriteBytes(P("new.txt"), "n");
  const engine_test::Outcome drop = RunDrop({P("new.txt")}, container, kMe);
  EXPECT_EQ(drop.result, IDOK) << drop.Statuses();
  EXPECT_EQ(root.Rows().size(), 2u);
  ASSERT_TRUE(PostMessageA(root.window, WM_COMMAND, MAKEWPARAM(viewcmd::kRefresh, 0), 0));
  (void)PumpWaitingMessages(nullptr, nullptr);
  EXPECT_EQ(root.Rows().size(), 3u);
}

}  // namespace
}  // namespace view_test
