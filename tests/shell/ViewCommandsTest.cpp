// The view's item commands over real containers, driven as the file manager and its user
// drive them: label edits, the view's keys and menu commands, the context menu, the folder
// chooser and the message boxes answered by the headless user.
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "base/ContainerItemId.h"
#include "base/QvFolderExtApp.h"
#include "container/QVDatabase.h"
#include "engine/HeldFolderKey.h"
#include "platform/MachineRoot.h"
#include "platform/Registry.h"
#include "platform/shell/BrowseForFolder.h"
#include "platform/ui/Menu.h"
#include "shell/CMainDlg.h"
#include "shell/CQvShellFolder.h"
#include "suite/qvprofile/UserSession.h"
#include "tests/shell/ViewTestSupport.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace view_test {
namespace {

using engine_test::ReadBytes;
using engine_test::Text;
using engine_test::WriteBytes;
using engine_test::fs::exists;

constexpr UINT IDS_RENAME_REFUSED = 159;
constexpr UINT IDS_DELETE_QUESTION = 162;
constexpr UINT IDS_EXECUTE_ERROR = 155;

// Every name the container holds, "dir:" before folders' stored paths, sorted.
std::set<std::string> StoredNames(const std::string& container) {
  std::set<std::string> names;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(container.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot read " << container;
    return names;
  }
  for (const char* sql :
       {"SELECT FILE_NAME FROM FILE_INFO", "SELECT 'dir:' || FOLDER_NAME FROM FOLDER_INFO"}) {
    sqlite3_stmt* rows = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &rows, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(rows) == SQLITE_ROW)
      names.insert(reinterpret_cast<const char*>(sqlite3_column_text(rows, 0)));
    sqlite3_finalize(rows);
  }
  sqlite3_close(db);
  return names;
}

void SetDword(HKEY root, const char* path, const char* name, DWORD value) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(
      RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
      ERROR_SUCCESS);
  RegCloseKey(key);
}

constexpr const char* kAdvanced =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";
constexpr const char* kProductKey = "Software\\Marlowen\\Quorvin";

class ViewCommandsTest : public ViewFixture {
 protected:
  int Row(const OpenView& open, const std::string& shown) const {
    for (int i = 0; i < open.List().GetItemCount(); ++i)
      if (open.List().GetItemText(i, 0) == shown) return i;
    return -1;
  }
  void SelectOnly(const OpenView& open, std::initializer_list<std::string> shown) const {
    open.List().SetItemState(-1, 0, LVIS_SELECTED);
    for (const std::string& name : shown) {
      const int row = Row(open, name);
      ASSERT_GE(row, 0) << name;
      open.List().SetItemState(row, LVIS_SELECTED, LVIS_SELECTED);
    }
  }
  // A label edit of the row shown as `shown`, ended with `text`; whether the view took it.
  bool Rename(const OpenView& open, const std::string& shown, const std::string& text) const {
    CListCtrl list = open.List();
    const int row = Row(open, shown);
    EXPECT_GE(row, 0) << shown;
    EXPECT_TRUE(list.EditLabel(row));
    return list.EndEditLabel(text.c_str()) != FALSE;
  }
  void Command(const OpenView& open, WORD id) const {
    SendMessageA(open.window, WM_COMMAND, MAKEWPARAM(id, 0), 0);
  }
  int BoxesWith(const std::string& text) const {
    int count = 0;
    for (const auto& box : ui_.MessageBoxes()) count += box.text == text ? 1 : 0;
    return count;
  }
  // The private folders of opened files still in the runtime folder.
  std::vector<std::string> PrivateFolders() const {
    std::vector<std::string> found;
    for (const auto& entry : engine_test::fs::directory_iterator(QvRuntimeDir()))
      if (entry.path().filename().string().rfind("qvf", 0) == 0) found.push_back(entry.path());
    return found;
  }
};

TEST_F(ViewCommandsTest, RenameRefusesBadNamesAndNamesTakenAndKeepsHiddenExtensions) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, ".txt", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  SetDword(HKEY_CURRENT_USER, kAdvanced, "HideFileExt", 1);
  const std::string container = MakeContainer(
      {{"notes.txt", "n"}, {"archive.xyz1", "a"}, {"other.txt", "o"}, {"Docs/inner.txt", "i"}},
      {"Docs", "Old"});
  OpenView open = Open(container);
  const std::set<std::string> before = StoredNames(container);

  const std::string refusal = Text(IDS_RENAME_REFUSED);
  const std::vector<std::string> refused = {
      "report.qvf.txt", "my.qvef", "a|b", "a\\b", "a/b", "", ".", "..", "tab\there", "a:b"};
  for (const std::string& name : refused) {
    ui_.AnswerMessageBox(IDOK, refusal);
    EXPECT_FALSE(Rename(open, "notes", name)) << "\"" << name << "\" was taken";
  }
  EXPECT_EQ(BoxesWith(refusal), static_cast<int>(refused.size()));
  EXPECT_GE(Row(open, "notes"), 0) << "the old label stays";
  EXPECT_EQ(StoredNames(container), before);

  // A cancelled edit changes nothing and shows nothing.
  CListCtrl list = open.List();
  ASSERT_TRUE(list.EditLabel(Row(open, "notes")));
  EXPECT_FALSE(list.EndEditLabel(nullptr));

  // The hidden extension is kept; an unregistered one was shown and is not added.
  EXPECT_TRUE(Rename(open, "notes", "memo"));
  EXPECT_TRUE(Rename(open, "archive.xyz1", "memo"));
  // other.txt would become memo.txt, which exists: the store refuses and nothing is replaced.
  EXPECT_FALSE(Rename(open, "other", "memo"));
  // A folder cannot take the name of another folder beside it either.
  EXPECT_FALSE(Rename(open, "Old", "Docs"));
  EXPECT_TRUE(Rename(open, "Docs", "Papers"));
  // Extensions shown from now on, but the list still shows "other" without its extension: the
  // label the user edits is the one shown, so ".txt" is kept.
  SetDword(HKEY_CURRENT_USER, kAdvanced, "HideFileExt", 0);
  EXPECT_TRUE(Rename(open, "other", "else"));
  (void)PumpWaitingMessages(nullptr, nullptr);
  const std::set<std::string> after = StoredNames(container);
  EXPECT_TRUE(after.count("memo.txt.qvf") && after.count("memo.qvf") && after.count("else.txt.qvf"))
      << ::testing::PrintToString(after);
  EXPECT_FALSE(after.count("notes.txt.qvf") || after.count("archive.xyz1.qvf") ||
               after.count("other.txt.qvf"));
  EXPECT_TRUE(after.count("dir:\\Papers") && after.count("dir:\\Old") &&
              !after.count("dir:\\Docs"));

  // The renamed folder's identifier names its new stored path: it binds to the folder that
  // still holds inner.txt.
  const int papers = Row(open, "Papers");
  ASSERT_GE(papers, 0);
  ContainerItem item;
  ASSERT_EQ(ContainerItemId::ReadFirst(
                reinterpret_cast<LPCITEMIDLIST>(open.List().GetItemData(papers)), &item),
            S_OK);
  EXPECT_EQ(item.storedPath, "\\Papers");
  OpenView sub;
  ASSERT_EQ(
      open.folder->BindToObject(reinterpret_cast<LPCITEMIDLIST>(open.List().GetItemData(papers)),
                                nullptr, IID_IShellFolder, sub.folder.ReleaseAndGetVoidAddressOf()),
      S_OK);
  sub = ShowView(std::move(sub), "", nullptr);
  ASSERT_EQ(sub.Rows().size(), 1u);
  EXPECT_EQ(sub.Rows()[0].substr(0, 5), "inner");

  // The container still decrypts, under the new names.
  sub.Close();
  open.Close();
  const engine_test::Outcome run = RunDialog({container}, false, kMe);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_EQ(ReadBytes(P("Box/memo.txt")), "n");
  EXPECT_EQ(ReadBytes(P("Box/memo")), "a");
  EXPECT_EQ(ReadBytes(P("Box/Papers/inner.txt")), "i");
}

TEST_F(ViewCommandsTest, DeleteRemovesWhatItCanAndKeepsTheRestSelected) {
  const std::string container =
      MakeContainer({{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}, {"Docs/Sub/deep.txt", "d"}},
                    {"Docs/Sub/Empty"});
  OpenView open = Open(container);
  OpenView other = Open(container, "");

  // "No" keeps everything.
  SelectOnly(open, {"a.txt", "b.txt", "c.txt"});
  ui_.AnswerMessageBox(IDNO, Text(IDS_DELETE_QUESTION));
  Command(open, viewcmd::kDelete);
  EXPECT_EQ(open.List().GetItemCount(), 4);

  // b.txt goes behind the view's back: its deletion fails, the first and third go.
  {
    ContainerItem b;
    ASSERT_EQ(ContainerItemId::ReadFirst(
                  reinterpret_cast<LPCITEMIDLIST>(open.List().GetItemData(Row(open, "b.txt"))), &b),
              S_OK);
    QVDatabase database;
    ASSERT_EQ(database.Open(container, FALSE), VARIANT_TRUE);
    HeldFolderKey key;
    ASSERT_TRUE(key.Bind(database, container, kMe));
    ASSERT_EQ(database.DeleteFile(b.folderId, b.FileId()), VARIANT_TRUE);
  }
  ui_.AnswerMessageBox(IDYES, Text(IDS_DELETE_QUESTION));
  Command(open, viewcmd::kShiftDelete);
  ASSERT_EQ(open.Rows().size(), 2u);
  const int kept = Row(open, "b.txt");
  ASSERT_GE(kept, 0);
  EXPECT_EQ(open.List().GetItemState(kept, LVIS_SELECTED), LVIS_SELECTED);
  EXPECT_EQ(open.List().GetSelectedCount(), 1u);
  EXPECT_EQ(StoredNames(container).count("a.txt.qvf") + StoredNames(container).count("c.txt.qvf"),
            0u);

  // A folder goes with everything below it; with the question switched off nothing is asked.
  SetDword(HKEY_CURRENT_USER, kAdvanced, "NoConfirmDelete", 1);
  SelectOnly(open, {"Docs"});
  Command(open, viewcmd::kToolbarDelete);
  // What stays is the marker that keeps the emptied root.
  for (const std::string& name : StoredNames(container)) {
    EXPECT_EQ(name.find("Docs"), std::string::npos) << name;
    EXPECT_TRUE(name == "qvdummyffff.qvf" || !name.ends_with(".qvf"))
        << name << ": b.txt was gone already, a and c deleted";
  }
  EXPECT_EQ(open.Rows().size(), 1u) << "b.txt's row stays until the next refresh";

  // The other view of the container was told to refresh.
  (void)PumpWaitingMessages(nullptr, nullptr);
  EXPECT_TRUE(other.Rows().empty()) << ::testing::PrintToString(other.Rows());

  // The container still decrypts: its list of files changed with its rows.
  open.Close();
  other.Close();
  const engine_test::Outcome run = RunDialog({container}, false, kMe);
  EXPECT_EQ(run.result, IDOK) << run.Statuses();
  EXPECT_TRUE(engine_test::fs::is_empty(P("Box")));
}

TEST_F(ViewCommandsTest, OpenDecryptsIntoAPrivateFolderLaunchesAndLeavesNothingWhenTheFolderGoes) {
  const std::string log = P("opened.log");
  const std::string opener = P("opener.sh");
  WriteBytes(opener, "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$(cat \"$1\")\" >> " + log + "\n");
  ASSERT_EQ(chmod(opener.c_str(), 0700), 0);
  ASSERT_EQ(setenv("QV_OPEN_COMMAND", opener.c_str(), 1), 0);
  const std::string container =
      MakeContainer({{"note.txt", "the plain note"}, {"more.txt", "more"}, {"bad.txt", "bytes"}});
  std::string opened;
  {
    OpenView open = Open(container);
    // Files opened one after another decrypt through the folder's one session: the container's
    // rows are checked once while it stays unchanged.
    const auto session = static_cast<CQvShellFolder*>(open.folder.Get())
                             ->DecryptionSession(QvModuleTables().VerifiedUser(container));
    SelectOnly(open, {"more.txt"});
    Command(open, viewcmd::kOpen);
    ASSERT_TRUE(qvtest::Eventually([&] { return !ReadBytes(log).empty(); }));
    ASSERT_TRUE(std::remove(log.c_str()) == 0);
    SelectOnly(open, {"note.txt"});
    Command(open, viewcmd::kOpen);
    ASSERT_TRUE(qvtest::Eventually([&] { return !ReadBytes(log).empty(); }));
    EXPECT_EQ(session->Checks(), 1u);
    opened = ReadBytes(log);
    const std::string path = opened.substr(0, opened.find('|'));
    EXPECT_EQ(opened.substr(opened.find('|') + 1), "the plain note\n");
    EXPECT_EQ(path.rfind(QvRuntimeDir() + "/qvf", 0), 0u) << path;
    EXPECT_EQ(path.substr(path.size() - 9), "/note.txt");
    struct stat st {};
    ASSERT_EQ(stat(path.substr(0, path.size() - 9).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(exists(path + ".qvf")) << "the encrypted copy stays behind";
    opened = path;

    // A damaged image: the change is seen (the rows are checked again), the user is told,
    // nothing is launched, nothing stays.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(container.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     "UPDATE FILE_DATA SET BLOCK_DATA = zeroblob(length(BLOCK_DATA)) WHERE "
                     "FILE_ID = (SELECT FILE_ID FROM FILE_INFO WHERE FILE_NAME = 'bad.txt.qvf')",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    SelectOnly(open, {"bad.txt"});
    ui_.AnswerMessageBox(IDOK, Text(IDS_EXECUTE_ERROR));
    Command(open, viewcmd::kOpen);
    EXPECT_EQ(BoxesWith(Text(IDS_EXECUTE_ERROR)), 1);
    EXPECT_EQ(session->Checks(), 2u);
    EXPECT_EQ(PrivateFolders().size(), 2u) << "only the opened files' folders";
  }
  // The view and its folder are gone: so is the plain copy with its folder.
  EXPECT_FALSE(exists(opened));
  EXPECT_TRUE(PrivateFolders().empty());
  const std::string launched = ReadBytes(log);
  EXPECT_EQ(std::count(launched.begin(), launched.end(), '\n'), 1) << launched;  // note.txt
  unsetenv("QV_OPEN_COMMAND");
}

TEST_F(ViewCommandsTest, DecryptToDecryptsTheSelectedFilesAndNeverTouchesWhatIsThere) {
  const std::string container = MakeContainer(
      {{"one.txt", "first"}, {"two.txt", "second"}, {"three.txt", "third"}, {"Docs/x.txt", "x"}},
      {"Docs"});
  const std::string out = P("out");
  engine_test::fs::create_directories(out);
  WriteBytes(out + "/two.txt.qvf", "the user's own file");
  WriteBytes(out + "/three.txt", "an older plain file");
  OpenView open = Open(container);
  SelectOnly(open, {"one.txt", "two.txt", "three.txt", "Docs"});

  ui_.TypeAndPress(kBrowseForFolderDialogId, kBrowseForFolderPathId, out, IDOK);
  ui_.AnswerMessageBox(IDOK, "'two.txt.qvf'");
  ui_.PressButton(IDD_CONFIRM_REPLACE, IDCANCEL);  // "No": three.txt stays as it is
  Command(open, viewcmd::kDecryptTo);

  std::set<std::string> names;
  for (const auto& entry : engine_test::fs::directory_iterator(out))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"one.txt", "two.txt.qvf", "three.txt"}));
  EXPECT_EQ(ReadBytes(out + "/one.txt"), "first");
  EXPECT_EQ(ReadBytes(out + "/two.txt.qvf"), "the user's own file");
  EXPECT_EQ(ReadBytes(out + "/three.txt"), "an older plain file");
  HeadlessBackend::ClosedDialog chooser;
  ASSERT_TRUE(ui_.LastClosed(kBrowseForFolderDialogId, &chooser));
  EXPECT_EQ(chooser.state.Control(kBrowseForFolderTitleId)->text, Text(156));

  // A cancelled chooser does nothing.
  engine_test::fs::remove(out + "/one.txt");
  ui_.PressButton(kBrowseForFolderDialogId, IDCANCEL);
  Command(open, viewcmd::kDecryptTo);
  EXPECT_FALSE(exists(out + "/one.txt"));
}

TEST_F(ViewCommandsTest, TheContextMenuAndDisableDbClickOpen) {
  const std::string container = MakeContainer({{"a.txt", "a"}}, {"Docs"});
  OpenView open = Open(container);
  struct Seen {
    UINT open = 0;
    UINT decryptTo = 0;
    int shown = 0;
  } seen;
  QvSetPopupMenuChooser(
      [](HMENU menu, void* context) -> UINT {
        auto* s = static_cast<Seen*>(context);
        s->open = GetMenuState(menu, viewcmd::kOpen, 0) & MF_GRAYED;
        s->decryptTo = GetMenuState(menu, viewcmd::kDecryptTo, 0) & MF_GRAYED;
        ++s->shown;
        return 0;
      },
      &seen);
  auto menuFor = [&](std::initializer_list<std::string> names) {
    SelectOnly(open, names);
    SendMessageA(open.window, WM_CONTEXTMENU, 0, 0);
    return std::pair{seen.open != 0, seen.decryptTo != 0};  // greyed?
  };
  EXPECT_EQ(menuFor({}), (std::pair{true, true}));
  EXPECT_EQ(menuFor({"a.txt"}), (std::pair{false, false}));
  EXPECT_EQ(menuFor({"a.txt", "Docs"}), (std::pair{false, true}));
  SetDword(HKEY_LOCAL_MACHINE, kProductKey, "DisableDbClickOpen", 1);
  EXPECT_EQ(menuFor({"a.txt"}), (std::pair{true, false}));
  EXPECT_EQ(seen.shown, 4);
  QvSetPopupMenuChooser(nullptr, nullptr);

  // A double click on a file shows the chooser of Decrypt To; on a folder it still browses.
  ui_.PressButton(kBrowseForFolderDialogId, IDCANCEL);
  NMITEMACTIVATE click{
      {open.List().GetSafeHwnd(), CMainDlg::IDC_VIEW_LIST, NM_DBLCLK}, Row(open, "a.txt"), 0};
  SendMessageA(open.window, WM_NOTIFY, CMainDlg::IDC_VIEW_LIST, reinterpret_cast<LPARAM>(&click));
  HeadlessBackend::ClosedDialog chooser;
  EXPECT_TRUE(ui_.LastClosed(kBrowseForFolderDialogId, &chooser));
  EXPECT_TRUE(browser_->browsed.empty());
  click.iItem = Row(open, "Docs");
  SendMessageA(open.window, WM_NOTIFY, CMainDlg::IDC_VIEW_LIST, reinterpret_cast<LPARAM>(&click));
  ASSERT_EQ(browser_->browsed.size(), 1u);
  EXPECT_NE(browser_->browsed[0] & SBSP_RELATIVE, 0u);
}

}  // namespace
}  // namespace view_test
