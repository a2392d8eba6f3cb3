// qvx browse as a window on a private X server: the browser frame around the view of a real
// container that qvx's own context menu encrypted, driven through its widgets from the test's
// thread while the browser runs on a thread of its own, as qvx's main thread does. A picture
// of the window is kept in the build folder (screenshots/desktop/browse-window.png).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/SuiteServices.h"
#include "container/FolderContainer.h"
#include "host/BrowseWindow.h"
#include "host/ContainerBrowser.h"
#include "host/ExitCodes.h"
#include "platform/MessageBox.h"
#include "platform/Owned.h"
#include "platform/ui/Backend.h"
#include "platform/ui/Menu.h"
#include "platform/ui/WindowApi.h"
#include "platform/ui/desktop/DesktopBackend.h"
#include "suite/QvDialogIds.h"
#include "tests/suite/UserStoreTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qvtest::RunProgram;

constexpr int kViewListId = 601;
constexpr int kWaitMs = 30000;
constexpr int kCut = 1100;
constexpr int kDetails = 511;

template <class Condition>
bool Eventually(Condition&& condition, int timeoutMs = kWaitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The newest visible dialog of `templateId`, null when none.
HWND NewestDialog(UINT templateId) {
  HWND found = nullptr;
  for (HWND dialog : OpenDialogs()) {
    DialogState state;
    if (SnapshotDialog(dialog, &state) && state.templateId == templateId && state.visible)
      found = dialog;
  }
  return found;
}

HWND AwaitDialog(UINT templateId, HWND other = nullptr) {
  HWND found = nullptr;
  (void)Eventually([&] {
    found = NewestDialog(templateId);
    return found != nullptr && found != other;
  });
  return found;
}

class BrowseWindowTest : public qvtest::ProgramsFixture {
 protected:
  void SetUp() override {
    ProgramsFixture::SetUp();
    // The product's registration and the suite's user, then a container made by encrypting a
    // folder through qvx's context menu, as a user does.
    ASSERT_EQ(RunProgram(root_, "qvx", {"register"}, Env(Xdg())).code, 0);
    ASSERT_EQ(RunProgram(root_, "qvenroll", {}, Env()).code, 0);
    fs::create_directories(root_.Sub("Box/Docs/Sub"));
    WriteTextFile(root_.Sub("Box/report.txt"), "hello");
    WriteTextFile(root_.Sub("Box/Docs/data.bin"), std::string(1025, 'd'));
    WriteTextFile(root_.Sub("Box/Docs/Sub/deep.txt"), "deep");
    {
      const OwnedHandle suite(CreateMutexA(nullptr, TRUE, kSuiteRunningMutex));
      ASSERT_TRUE(suite.Valid());
      const HeldMutex running(suite.Get());
      const qvtest::ProgramRun run = RunProgram(
          root_, "qvx", {"menu", "--run", "QVEncryptCMD", "--", root_.Sub("Box")}, Env(Xdg()));
      ASSERT_EQ(run.code, 0) << run.err;
    }
    container_ = root_.Sub("Box.qvef");
    ASSERT_TRUE(fs::exists(container_));
    // This process reads the same desktop files, before any thread of the toolkit runs.
    for (const auto& [name, value] : Xdg()) setenv(name.c_str(), value->c_str(), 1);
    std::string why;
    desktop_ = DesktopBackend::Open(&why);
    ASSERT_NE(desktop_, nullptr) << why;
    previous_ = SetUiBackend(desktop_.get());
  }
  void TearDown() override {
    if (runner_.joinable()) {
      // A test that failed half-way may leave a verification waiting for its answer.
      (void)Eventually([&] {
        if (const HWND frame = NewestDialog(kBrowseFrameTemplateId))
          (void)desktop_->RequestClose(frame);
        if (const HWND prompt = NewestDialog(kPasswordDialogId))
          (void)desktop_->Click(prompt, IDCANCEL);
        if (const HWND refusal = NewestDialog(IDD_BAD_PASSWORD))
          (void)desktop_->Click(refusal, IDOK);
        return finished_.load();
      });
      runner_.join();
    }
    SetUiBackend(previous_);
    desktop_.reset();
  }
  qvtest::Environment Xdg() const {
    return {{"XDG_DATA_HOME", root_.Sub("data")}, {"XDG_CONFIG_HOME", root_.Sub("config")}};
  }

  // Starts the browser on `path`, as qvx browse does on a desktop.
  void Browse(const std::string& path) {
    runner_ = std::thread([this, path] {
      exitCode_ = RunBrowseWindow(
          path, *desktop_,
          [](const ContainerBrowser& browser, const std::string&) { return browser.ExitCode(); });
      finished_ = true;
    });
    frame_ = AwaitDialog(kBrowseFrameTemplateId);
    ASSERT_NE(frame_, nullptr) << "the browser's window never showed";
  }
  // Answers the password window.
  void TypePassword(const std::string& password) {
    const HWND prompt = AwaitDialog(kPasswordDialogId);
    ASSERT_NE(prompt, nullptr) << "the password window never showed";
    ASSERT_TRUE(desktop_->WaitForWindow(prompt, kWaitMs));
    ASSERT_TRUE(desktop_->Type(prompt, kPasswordEditId, password));
    ASSERT_TRUE(desktop_->Click(prompt, IDOK));
  }
  // The view now shown in the frame (it changes with every folder entered).
  HWND View() const { return NewestDialog(IDD_SHARE_LIST); }
  // The rows the list shows, names only, once the view shows `count` of them.
  std::vector<std::string> NamesOnceThereAre(size_t count) {
    std::vector<std::string> names;
    (void)Eventually([&] {
      names.clear();
      const HWND view = View();
      const auto list = view != nullptr ? desktop_->Widget(view, kViewListId) : std::nullopt;
      if (!list) return false;
      for (const auto& row : list->rows) names.push_back(row.empty() ? "" : row[0]);
      return names.size() == count && std::find(names.begin(), names.end(), "") == names.end();
    });
    return names;
  }
  int RowNamed(const std::string& name) {
    const auto list = desktop_->Widget(View(), kViewListId);
    for (size_t i = 0; list && i < list->rows.size(); ++i)
      if (!list->rows[i].empty() && list->rows[i][0] == name) return static_cast<int>(i);
    return -1;
  }
  bool TitleBecomes(const std::string& title) {
    return Eventually([&] { return desktop_->WindowTitle(frame_) == title; });
  }
  const DesktopBackend::ToolbarButton* Tool(const std::vector<DesktopBackend::ToolbarButton>& bar,
                                            int command) {
    for (const auto& button : bar)
      if (button.command == command) return &button;
    return nullptr;
  }
  bool ToolEnabledBecomes(int command, bool enabled) {
    return Eventually([&] {
      const auto bar = desktop_->Toolbar(frame_);
      const auto* button = Tool(bar, command);
      return button != nullptr && button->enabled == enabled;
    });
  }
  // A picture of the frame, or of `window` when given.
  void Screenshot(const std::string& name, HWND window = nullptr) {
    const fs::path folder = fs::path(QV_SCREENSHOT_DIR);
    fs::create_directories(folder);
    const std::string path = (folder / (name + ".png")).string();
    std::string why;
    ASSERT_TRUE(desktop_->SaveScreenshot(window != nullptr ? window : frame_, path, &why)) << why;
    EXPECT_GT(fs::file_size(path), 3000u) << "an empty picture: " << path;
  }

  std::string container_;
  std::unique_ptr<DesktopBackend> desktop_;
  UiBackend* previous_ = nullptr;
  std::thread runner_;
  int exitCode_ = -1;
  std::atomic<bool> finished_{false};
  HWND frame_ = nullptr;
};

TEST_F(BrowseWindowTest, TheWindowAsksFirstThenListsBrowsesRefreshesAndClosesWithExitZero) {
  Browse(container_);
  // The password window comes before anything is listed.
  ASSERT_NE(AwaitDialog(kPasswordDialogId), nullptr);
  const HWND firstView = AwaitDialog(IDD_SHARE_LIST);
  ASSERT_NE(firstView, nullptr);
  ASSERT_TRUE(desktop_->WaitForWindow(firstView, kWaitMs));
  EXPECT_TRUE(desktop_->Widget(firstView, kViewListId)->rows.empty())
      << "rows before the user was verified";
  TypePassword(kPassword);

  // Folders first, then files; the columns, an icon per row, the frame's title and toolbar.
  EXPECT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Docs", "report.txt"}));
  const auto list = desktop_->Widget(View(), kViewListId);
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->columns, (std::vector<std::string>{"Name", "Size", "Type", "Date"}));
  EXPECT_EQ(list->rows[static_cast<std::size_t>(RowNamed("report.txt"))][1], "1 KB");
  ASSERT_EQ(list->icons.size(), 2u);
  EXPECT_FALSE(list->icons[0].empty());
  EXPECT_FALSE(list->icons[1].empty());
  EXPECT_NE(list->icons[0], list->icons[1]) << "a folder drawn as a file";
  // Each row is drawn with its registered type's own icon, not the theme's fallback. (The
  // toolkit reads the data folders once a process, so this holds when the test is the first of
  // its process to show a window, as ctest runs it.)
  std::vector<std::string> drawn;
  (void)Eventually([&] {
    drawn = desktop_->Widget(View(), kViewListId)->drawnIcons;
    return std::count(drawn.begin(), drawn.end(), std::string()) == 0;
  });
  EXPECT_EQ(drawn, (std::vector<std::string>{"application-x-quorvin-encrypted-folder",
                                             "application-x-quorvin-encrypted-file"}));
  EXPECT_TRUE(TitleBecomes(container_));
  ASSERT_TRUE(ToolEnabledBecomes(kCut, false));
  const auto bar = desktop_->Toolbar(frame_);
  std::vector<int> commands;
  for (const auto& button : bar) commands.push_back(button.command);
  EXPECT_EQ(commands, (std::vector<int>{kBrowseCommandUp, kBrowseCommandRefresh, 0, 1100, 512, 1101,
                                        0, 508, 509, 510, 511}));
  EXPECT_FALSE(Tool(bar, kBrowseCommandUp)->enabled) << "Up at the container's root";
  EXPECT_TRUE(Tool(bar, kDetails)->checked);
  Screenshot("browse-window");

  // A selection made with the mouse reaches the view, whose toolbar buttons follow it.
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {0}));
  EXPECT_TRUE(ToolEnabledBecomes(kCut, true));

  // A double-click enters a folder; Backspace goes back up.
  ASSERT_TRUE(desktop_->ActivateRow(View(), kViewListId, RowNamed("Docs")));
  EXPECT_TRUE(TitleBecomes(container_ + "/Docs"));
  EXPECT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Sub", "data.bin"}));
  EXPECT_TRUE(ToolEnabledBecomes(kBrowseCommandUp, true));
  ASSERT_TRUE(desktop_->PressKey(frame_, "BackSpace"));
  EXPECT_TRUE(TitleBecomes(container_));
  EXPECT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Docs", "report.txt"}));

  // Enter on a selected folder enters it too; the toolbar's Up goes back.
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {RowNamed("Docs")}));
  ASSERT_TRUE(desktop_->PressKey(frame_, "Return"));
  EXPECT_TRUE(TitleBecomes(container_ + "/Docs"));
  ASSERT_TRUE(ToolEnabledBecomes(kBrowseCommandUp, true));
  ASSERT_TRUE(desktop_->ClickToolbar(frame_, kBrowseCommandUp));
  EXPECT_TRUE(TitleBecomes(container_));

  // Another connection adds a file: F5 shows it. (Not a forked child: this process has the
  // display's threads, and a child of a threaded process may block on a lock one of them held.)
  EXPECT_EQ(NamesOnceThereAre(2).size(), 2u);
  WriteTextFile(root_.Sub("added.txt"), "added");
  {
    FolderContainer store;
    ASSERT_EQ(store.OpenAt(root_.Path(), container_, 0), 1);
    EXPECT_GE(store.AddFile(root_.Sub("added.txt"), FALSE), 0);  // the new item's id
    store.Close();
  }
  ASSERT_TRUE(desktop_->PressKey(frame_, "F5"));
  const auto refreshed = NamesOnceThereAre(3);
  EXPECT_NE(std::find(refreshed.begin(), refreshed.end(), "added.txt"), refreshed.end())
      << ::testing::PrintToString(refreshed);

  // Keys the list does not own go to the view's accelerators: Ctrl+A selects every row.
  ASSERT_TRUE(desktop_->PressKey(frame_, "<Control>a"));
  EXPECT_TRUE(
      Eventually([&] { return desktop_->Widget(View(), kViewListId)->selected.size() == 3; }));
  EXPECT_FALSE(desktop_->PressKey(frame_, "Down")) << "the list's own key was taken from it";

  // The right mouse button shows the view's menu at the pointer, for the row under it: a row
  // outside the selection becomes the selection, one inside keeps it.
  ASSERT_TRUE(desktop_->RightClickRow(View(), kViewListId, RowNamed("Docs")));
  ASSERT_TRUE(desktop_->WaitForPopupMenu(kWaitMs, nullptr));
  EXPECT_EQ(desktop_->Widget(View(), kViewListId)->selected.size(), 3u);
  ASSERT_TRUE(desktop_->DismissPopupMenu());
  ASSERT_TRUE(Eventually([&] { return !desktop_->WaitForPopupMenu(0, nullptr); }));
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {RowNamed("added.txt")}));
  ASSERT_TRUE(desktop_->RightClickRow(View(), kViewListId, RowNamed("report.txt")));
  std::vector<std::string> items;
  ASSERT_TRUE(desktop_->WaitForPopupMenu(kWaitMs, &items));
  EXPECT_EQ(items, (std::vector<std::string>{"Open", "Decrypt To..."}));
  EXPECT_EQ(desktop_->Widget(View(), kViewListId)->selected,
            std::vector<int>{RowNamed("report.txt")})
      << "the row under the pointer is the selection the menu acts on";
  ASSERT_TRUE(desktop_->DismissPopupMenu());
  EXPECT_TRUE(Eventually([&] { return !desktop_->WaitForPopupMenu(0, nullptr); }))
      << "the menu stayed open";

  // A choice comes back as its id; a greyed item cannot be chosen.
  const HMENU menu = CreatePopupMenu();
  ASSERT_TRUE(AppendMenuA(menu, MF_STRING, 41, "&First"));
  ASSERT_TRUE(AppendMenuA(menu, MF_SEPARATOR, 0, nullptr));
  ASSERT_TRUE(AppendMenuA(menu, MF_STRING | MF_GRAYED, 42, "Second"));
  UINT chosen = 1;
  std::thread chooser([&] { chosen = DesktopBackend::ChoosePopupMenuItem(menu, desktop_.get()); });
  const bool shown = desktop_->WaitForPopupMenu(kWaitMs, &items);
  EXPECT_EQ(items, (std::vector<std::string>{"First", "-", "Second"}));
  EXPECT_FALSE(desktop_->ClickPopupMenu("Second"));
  EXPECT_TRUE(shown && desktop_->ClickPopupMenu("First"));
  if (!shown || chosen == 1) (void)desktop_->DismissPopupMenu();
  chooser.join();
  DestroyMenu(menu);
  EXPECT_EQ(chosen, 41u);

  // Closing the window ends the browser with exit code 0.
  ASSERT_TRUE(desktop_->RequestClose(frame_));
  runner_.join();
  EXPECT_EQ(exitCode_, 0);
  EXPECT_EQ(View(), nullptr) << "the view outlived its window";
}

TEST_F(BrowseWindowTest, AWrongPasswordShowsTheRefusalAndNoRows) {
  Browse(container_);
  TypePassword("not the password");
  // The refusal is a window of its own, not a silently empty list.
  const HWND refusal = AwaitDialog(IDD_BAD_PASSWORD);
  ASSERT_NE(refusal, nullptr) << "a wrong password went unmentioned";
  ASSERT_TRUE(desktop_->WaitForWindow(refusal, kWaitMs));
  ASSERT_TRUE(desktop_->Click(refusal, IDOK));
  // Asked again; cancelling leaves the view empty and the window open.
  const HWND again = AwaitDialog(kPasswordDialogId);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(desktop_->WaitForWindow(again, kWaitMs));
  ASSERT_TRUE(desktop_->Click(again, IDCANCEL));
  ASSERT_TRUE(Eventually([&] { return NewestDialog(kPasswordDialogId) == nullptr; }));
  // The refused user is told so, and the browse ends with its own code, not an empty list.
  std::string text;
  ASSERT_TRUE(desktop_->WaitForMessageBox(kWaitMs, &text, nullptr));
  EXPECT_NE(text.find("was not verified"), std::string::npos) << text;
  ASSERT_TRUE(desktop_->ClickMessageBox("OK"));
  runner_.join();
  EXPECT_EQ(exitCode_, kExitRefused);
}

// Files dragged in from the desktop (text/uri-list) go through the view's own drop target:
// beside the rows into the folder shown, onto a folder's row into that folder, always as a copy.
// A drop the view refuses stores nothing and says so; what is no local file is not taken.
TEST_F(BrowseWindowTest, FilesDroppedInAreStoredAsCopiesAndARefusedDropStoresNothing) {
  Browse(container_);
  TypePassword(kPassword);
  ASSERT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Docs", "report.txt"}));
  const std::string first = root_.Sub("first.txt");
  const std::string second = root_.Sub("second.txt");
  WriteTextFile(first, "from the desktop");
  WriteTextFile(second, "into a folder");

  ASSERT_TRUE(desktop_->DropUriList(View(), kViewListId, "file://" + first + "\r\n", -1));
  EXPECT_EQ(NamesOnceThereAre(3), (std::vector<std::string>{"Docs", "first.txt", "report.txt"}));
  EXPECT_EQ(ReadTextFile(first), "from the desktop") << "a drop in took the desktop's file away";
  ASSERT_TRUE(desktop_->DropUriList(View(), kViewListId, "# a comment line\r\nfile://" + second,
                                    RowNamed("Docs")));
  // Stored once another process lists it there; then the window enters the folder.
  ASSERT_TRUE(Eventually([&] {
    const qvtest::ProgramRun run =
        RunProgram(root_, "qvx", {"ls", "--tsv", container_ + "/Docs"}, Env(Xdg()));
    return run.code == 0 && run.out.find("second.txt") != std::string::npos;
  })) << "the drop onto the folder's row stored nothing there";
  ASSERT_TRUE(desktop_->ActivateRow(View(), kViewListId, RowNamed("Docs")));
  EXPECT_TRUE(TitleBecomes(container_ + "/Docs"));
  EXPECT_EQ(NamesOnceThereAre(3), (std::vector<std::string>{"Sub", "data.bin", "second.txt"}));
  EXPECT_TRUE(fs::exists(second));

  // The container dropped into itself is refused by the view: a notice, and nothing stored.
  ASSERT_TRUE(desktop_->DropUriList(View(), kViewListId, "file://" + container_, -1));
  std::string text;
  ASSERT_TRUE(desktop_->WaitForMessageBox(kWaitMs, &text, nullptr))
      << "a refused drop went unmentioned";
  EXPECT_NE(text.find("Nothing was dropped"), std::string::npos) << text;
  ASSERT_TRUE(desktop_->ClickMessageBox("OK"));
  EXPECT_EQ(NamesOnceThereAre(3), (std::vector<std::string>{"Sub", "data.bin", "second.txt"}));
  // A web address is no file: the list does not take it.
  EXPECT_FALSE(desktop_->DropUriList(View(), kViewListId, "http://127.0.0.1:9/x.txt", -1));
  EXPECT_FALSE(
      desktop_->DropUriList(View(), kViewListId, "file://" + first + "\r\nhttp://x/y", -1));

  ASSERT_TRUE(desktop_->RequestClose(frame_));
  runner_.join();
  EXPECT_EQ(exitCode_, 0);
}

// Rows dragged out are offered as text/uri-list, decrypted through the view's data object only
// when the drop target asks, into a private folder that goes with the window.
TEST_F(BrowseWindowTest, RowsDraggedOutAreDecryptedWhenAskedIntoAPrivateFolder) {
  Browse(container_);
  TypePassword(kPassword);
  ASSERT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Docs", "report.txt"}));
  const auto paths = [](const std::string& uriList) {
    std::vector<std::string> found;
    std::istringstream lines(uriList);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      EXPECT_EQ(line.rfind("file:///", 0), 0u) << line;
      found.push_back(line.substr(7));
    }
    return found;
  };

  // Both rows of the selection, the one under the pointer among them.
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {0, 1}));
  std::string uris;
  ASSERT_TRUE(desktop_->DragRowsOut(View(), kViewListId, RowNamed("report.txt"), kWaitMs, &uris));
  const std::vector<std::string> both = paths(uris);
  ASSERT_EQ(both.size(), 2u) << uris;
  const fs::path folder = fs::path(both[0]).parent_path();
  EXPECT_EQ(both[0], (folder / "Docs").string());
  EXPECT_EQ(both[1], (folder / "report.txt").string());
  EXPECT_EQ(ReadTextFile(both[1]), "hello");
  EXPECT_EQ(ReadTextFile((folder / "Docs/data.bin").string()), std::string(1025, 'd'));
  EXPECT_EQ(ReadTextFile((folder / "Docs/Sub/deep.txt").string()), "deep");
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "decrypted files in a folder others can read";

  // A row outside the selection becomes the selection, and goes alone, in a folder of its own.
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {RowNamed("report.txt")}));
  ASSERT_TRUE(desktop_->DragRowsOut(View(), kViewListId, RowNamed("Docs"), kWaitMs, &uris));
  const std::vector<std::string> docs = paths(uris);
  ASSERT_EQ(docs.size(), 1u) << uris;
  EXPECT_NE(fs::path(docs[0]).parent_path(), folder);
  EXPECT_EQ(fs::path(docs[0]).filename(), "Docs");
  EXPECT_EQ(desktop_->Widget(View(), kViewListId)->selected, std::vector<int>{RowNamed("Docs")});
  // Beside the rows there is nothing to drag.
  EXPECT_FALSE(desktop_->DragRowsOut(View(), kViewListId, -1, kWaitMs, &uris));

  ASSERT_TRUE(desktop_->RequestClose(frame_));
  runner_.join();
  EXPECT_EQ(exitCode_, 0);
  EXPECT_FALSE(fs::exists(folder)) << "decrypted files outlived the window";
  EXPECT_FALSE(fs::exists(docs[0]));
}

// The keys a file manager's list has besides the view's own: F2 asks for a new name (refused
// names are said so), the Menu key and Shift+F10 show the view's menu; each toolbar button
// tells what it does.
TEST_F(BrowseWindowTest, F2RenamesAndTheMenuKeysShowTheMenuAndToolsTellWhatTheyDo) {
  Browse(container_);
  TypePassword(kPassword);
  ASSERT_EQ(NamesOnceThereAre(2), (std::vector<std::string>{"Docs", "report.txt"}));
  ASSERT_TRUE(ToolEnabledBecomes(kBrowseCommandRefresh, true));
  for (const auto& button : desktop_->Toolbar(frame_)) {
    if (button.command != 0) {
      EXPECT_FALSE(button.tooltip.empty()) << button.command;
    }
  }

  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {RowNamed("report.txt")}));
  ASSERT_TRUE(desktop_->PressKey(frame_, "F2"));
  HWND rename = AwaitDialog(kBrowseRenameTemplateId);
  ASSERT_NE(rename, nullptr) << "F2 asked for no name";
  ASSERT_TRUE(desktop_->WaitForWindow(rename, kWaitMs));
  EXPECT_EQ(desktop_->Widget(rename, kBrowseRenameEditId)->text, "report.txt");
  Screenshot("rename-dialog", rename);
  ASSERT_TRUE(desktop_->Type(rename, kBrowseRenameEditId, "summary.txt"));
  ASSERT_TRUE(desktop_->Click(rename, IDOK));
  const std::vector<std::string> renamed{"Docs", "summary.txt"};
  EXPECT_TRUE(Eventually([&] { return NamesOnceThereAre(2) == renamed; }))
      << ::testing::PrintToString(NamesOnceThereAre(2));
  // A name the view refuses leaves the row as it was, and the view tells the user.
  ASSERT_TRUE(desktop_->SelectRows(View(), kViewListId, {RowNamed("summary.txt")}));
  ASSERT_TRUE(desktop_->PressKey(frame_, "F2"));
  rename = AwaitDialog(kBrowseRenameTemplateId, rename);
  ASSERT_NE(rename, nullptr);
  ASSERT_TRUE(desktop_->WaitForWindow(rename, kWaitMs));
  ASSERT_TRUE(desktop_->Type(rename, kBrowseRenameEditId, "a:b"));
  ASSERT_TRUE(desktop_->Click(rename, IDOK));
  ASSERT_TRUE(desktop_->WaitForMessageBox(kWaitMs, nullptr, nullptr));
  ASSERT_TRUE(desktop_->ClickMessageBox("OK"));
  EXPECT_EQ(NamesOnceThereAre(2), renamed);

  for (const char* key : {"Menu", "<Shift>F10"}) {
    std::vector<std::string> items;
    ASSERT_TRUE(desktop_->PressKey(frame_, key)) << key;
    ASSERT_TRUE(desktop_->WaitForPopupMenu(kWaitMs, &items)) << key;
    EXPECT_EQ(items, (std::vector<std::string>{"Open", "Decrypt To..."})) << key;
    ASSERT_TRUE(desktop_->DismissPopupMenu());
    ASSERT_TRUE(Eventually([&] { return !desktop_->WaitForPopupMenu(0, nullptr); }));
  }
  EXPECT_EQ(desktop_->Widget(View(), kViewListId)->selected,
            std::vector<int>{RowNamed("summary.txt")})
      << "the menu keys changed the selection";

  ASSERT_TRUE(desktop_->RequestClose(frame_));
  runner_.join();
  EXPECT_EQ(exitCode_, 0);
}

// qvx itself, as the container's desktop entry starts it: the window appears on the display,
// and closing it (Ctrl+W, typed with xdotool) ends qvx with exit code 0.
TEST_F(BrowseWindowTest, QvxBrowseOpensAWindowAndEndsWhenItIsClosed) {
  qvtest::Program qvx(root_, "qvx", {"browse", "--ui", "desktop", container_}, Env(Xdg()));
  const std::string log = root_.Sub("xdotool.log");
  // GTK may replace a window's X window while qvx sets it up (and ignores keys while the
  // password window is modal), so Ctrl+W is typed again until qvx has ended.
  const std::string close =
      "timeout 10 xdotool search --sync --onlyvisible --name 'Box\\.qvef' "
      "windowfocus --sync key ctrl+w >>" +
      log + " 2>&1";
  bool ended = false;
  for (int attempt = 0; attempt < 8 && !ended; ++attempt) {
    (void)std::system(close.c_str());
    for (int i = 0; i < 20 && !ended; ++i) {
      ended = qvx.Ended();
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  EXPECT_TRUE(ended) << "qvx did not end when its window was closed: " << ReadTextFile(log);
  const qvtest::ProgramRun run = qvx.Wait();
  EXPECT_EQ(run.code, 0) << run.err;
}

TEST_F(BrowseWindowTest, APathThroughNoContainerIsRefusedInAMessageBox) {
  const std::string plain = root_.Sub("plain.txt");
  WriteTextFile(plain, "x");
  Browse(plain + "/inside");
  std::string text;
  ASSERT_TRUE(desktop_->WaitForMessageBox(kWaitMs, &text, nullptr));
  EXPECT_NE(text.find("does not run through a container"), std::string::npos) << text;
  ASSERT_TRUE(desktop_->ClickMessageBox("OK"));
  runner_.join();
  // The code qvx browse exits with for a path through no registered container.
  EXPECT_EQ(exitCode_, 4);
}

}  // namespace
