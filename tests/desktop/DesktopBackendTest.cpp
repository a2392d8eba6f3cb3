// The desktop back end on a private X server: every dialog of the extension, the suite's
// password dialog, message boxes and a real encryption's progress dialog shown as windows,
// answered by clicking their widgets from a thread of the test, with a picture of each window
// kept in the build folder (screenshots/desktop/).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "base/ItemStatus.h"
#include "base/QvFolderExtApp.h"
#include "dialogs/CAddError.h"
#include "dialogs/CBadPassword.h"
#include "dialogs/CConfirmReplace.h"
#include "dialogs/CInvalidUser.h"
#include "dialogs/CQvDBConvert.h"
#include "dialogs/CWarnDlg.h"
#include "platform/ui/Controls.h"
#include "platform/ui/WindowApi.h"
#include "platform/ui/desktop/DesktopBackend.h"
#include "suite/QvDialogIds.h"
#include "suite/qvverify/PasswordSource.h"
#include "tests/common/TestRoot.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/engine/ProgressDialogFixture.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// An upper bound of a wait, not a measure: a sanitizer build on a loaded machine can take
// seconds to show its first window.
constexpr int kAppearMs = 30000;

std::string WithoutMnemonic(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// What the window shows of every control matches the dialog's own state: each control of the
// template has its widget, with the same text, visibility and sensitivity.
void ExpectWindowShowsDialog(DesktopBackend& desktop, HWND dialog) {
  DialogState state;
  ASSERT_TRUE(SnapshotDialog(dialog, &state));
  EXPECT_EQ(desktop.WindowTitle(dialog), state.caption);
  for (const ControlState& control : state.controls) {
    if (control.id == IDC_STATIC) continue;  // unaddressed texts and icons
    const auto widget = desktop.Widget(dialog, control.id);
    ASSERT_TRUE(widget.has_value()) << "control " << control.id;
    EXPECT_EQ(widget->visible, control.visible) << "control " << control.id;
    EXPECT_EQ(widget->sensitive, control.enabled) << "control " << control.id;
    if (control.kind == ControlKind::Button || control.kind == ControlKind::Static) {
      EXPECT_EQ(WithoutMnemonic(widget->text), WithoutMnemonic(control.text))
          << "control " << control.id;
    }
    if (control.kind == ControlKind::CheckBox) {
      EXPECT_EQ(widget->active, control.checked);
    }
  }
}

// Runs `run` (which shows a modal dialog of `templateId` on this thread) while `act` plays the
// user on another thread once the window is on screen. The window's picture is saved as `name`.
template <class Run>
auto RunAnswered(DesktopBackend& desktop, UINT templateId, const std::string& name,
                 std::function<void(HWND)> act, Run&& run) {
  std::thread user([&] {
    const HWND dialog = AwaitDialog(templateId);
    ASSERT_NE(dialog, nullptr) << "dialog " << templateId << " never showed";
    // A check that fails before the user acts still ends the dialog, so the test fails
    // instead of waiting for a click that never comes.
    bool acted = false;
    const auto endUnanswered = [&] {
      if (!acted) (void)::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    };
    struct AtExit {
      std::function<void()> run;
      ~AtExit() { run(); }
    } atExit{endUnanswered};
    ASSERT_TRUE(desktop.WaitForWindow(dialog, kAppearMs)) << "no window for " << templateId;
    ExpectWindowShowsDialog(desktop, dialog);
    Screenshot(desktop, dialog, name);
    acted = true;
    act(dialog);
  });
  auto result = run();
  user.join();
  return result;
}

class DesktopDialogsTest : public RootedTest {
 protected:
  void SetUp() override { (void)QvApp().InitInstance(); }
  void TearDown() override { QvApp().ExitInstance(); }
  DesktopSession desktop_;
};

TEST_F(DesktopDialogsTest, EveryMessageDialogAnswersWithTheButtonClickedInItsWindow) {
  ASSERT_TRUE(desktop_);
  DesktopBackend& desktop = *desktop_;
  const std::string replaced = root_.Sub("report.pdf.QVF");
  const struct {
    UINT templateId;
    const char* name;
    int button;
    std::function<INT_PTR()> run;
  } cases[] = {
      {IDD_INVALID_USER, "invalid-user", IDOK, [] { return CInvalidUser().DoModal(); }},
      {IDD_ADD_ERROR, "add-error", IDOK, [] { return CAddError().DoModal(); }},
      {IDD_BAD_PASSWORD, "bad-password", IDOK, [] { return CBadPassword(1).DoModal(); }},
      {IDD_CONFIRM_REPLACE, "confirm-replace", IDC_YES_TO_ALL,
       [&] { return CConfirmReplace(replaced.c_str()).DoModal(); }},
      {IDD_DB_CONVERT, "convert", IDCANCEL, [] { return CQvDBConvert().DoModal(); }},
  };
  for (const auto& c : cases) {
    const auto click = [&desktop, &c](HWND d) { desktop.Click(d, c.button); };
    EXPECT_EQ(RunAnswered(desktop, c.templateId, c.name, click, c.run), c.button) << c.name;
  }
}

TEST_F(DesktopDialogsTest, ATickGivenInTheWindowReachesTheDialogAndTheCloseBoxCancels) {
  ASSERT_TRUE(desktop_);
  DesktopBackend& desktop = *desktop_;
  CWarnDlg ticked;
  EXPECT_EQ(RunAnswered(
                desktop, IDD_BACKUP_WARNING, "backup-warning",
                [&](HWND d) {
                  ASSERT_TRUE(desktop.Toggle(d, IDC_WARNING_DONT_SHOW));
                  desktop.Click(d, IDOK);
                },
                [&] { return ticked.DoModal(); }),
            IDOK);
  EXPECT_EQ(ticked.m_doNotShowAgain, 1u);

  // Ticked and then closed through the window's close box: Cancel, and the tick does not count.
  CWarnDlg closed;
  const INT_PTR result = RunAnswered(
      desktop, IDD_BACKUP_WARNING, "backup-warning-2",
      [&](HWND d) {
        desktop.Toggle(d, IDC_WARNING_DONT_SHOW);
        ASSERT_TRUE(desktop.RequestClose(d));
      },
      [&] { return closed.DoModal(); });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(closed.m_doNotShowAgain, 0u);
}

TEST_F(DesktopDialogsTest, AMessageBoxShowsItsButtonsAndReturnsTheOneClicked) {
  ASSERT_TRUE(desktop_);
  DesktopBackend& desktop = *desktop_;
  std::string shownText;
  std::vector<std::string> buttons;
  std::thread user([&] {
    ASSERT_TRUE(desktop.WaitForMessageBox(kAppearMs, &shownText, &buttons));
    Screenshot(desktop, nullptr, "message-box");
    EXPECT_TRUE(desktop.ClickMessageBox("No"));
  });
  const int answer = MessageBoxA(nullptr, "Replace <b>the</b> file?\nIt is newer.", "Quorvin",
                                 MB_YESNOCANCEL | MB_ICONQUESTION);
  user.join();
  EXPECT_EQ(answer, IDNO);
  // The text is shown as it is, never as markup.
  EXPECT_EQ(shownText, "Replace <b>the</b> file?\nIt is newer.");
  EXPECT_EQ(buttons, (std::vector<std::string>{"Yes", "No", "Cancel"}));

  // A box closed without a choice answers with its Cancel value: No for Yes/No.
  std::thread closer([&] {
    ASSERT_TRUE(desktop.WaitForMessageBox(kAppearMs, nullptr, nullptr));
    EXPECT_FALSE(desktop.ClickMessageBox("Cancel"));  // a Yes/No box has none
    EXPECT_TRUE(desktop.ClickMessageBox("Yes"));
  });
  EXPECT_EQ(MessageBoxA(nullptr, "Continue?", "Quorvin", MB_YESNO), IDYES);
  closer.join();
}

// A process may close its back end and open another (the tests do, a host may): nothing of the
// first may run in the second's loop. Each box stays open over several of the loop's sweeps.
TEST(DesktopBackendLifeTest, ABackEndOpenedAfterAnotherClosedRunsAloneInTheSameProcess) {
  for (int round = 0; round < 2; ++round) {
    DesktopSession desktop;
    ASSERT_TRUE(desktop);
    std::thread user([&] {
      ASSERT_TRUE(desktop->WaitForMessageBox(kAppearMs, nullptr, nullptr));
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      EXPECT_TRUE(desktop->ClickMessageBox("OK"));
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Round", "Quorvin", MB_OK), IDOK) << "round " << round;
    user.join();
  }
}

TEST_F(DesktopDialogsTest, ThePasswordWindowHandsOverWhatWasTypedOnlyWithOk) {
  ASSERT_TRUE(desktop_);
  DesktopBackend& desktop = *desktop_;
  QvPasswordQuestion question;
  question.title = "Quorvin - Verify";
  question.prompt = "Type your password to open report.pdf.qvf.";
  question.account = "alice";
  const QvPasswordReply reply = RunAnswered(
      desktop, kPasswordDialogId, "password",
      [&](HWND d) {
        ASSERT_TRUE(desktop.Type(d, kPasswordEditId, "s3cret pass"));
        // Typing alone tells the dialog nothing; the password crosses over with the press.
        EXPECT_EQ(GetWindowTextLengthA(GetDlgItem(d, kPasswordEditId)), 0);
        // The dialog changing meanwhile (its prompt) leaves what was typed alone.
        SetDlgItemTextA(d, kPasswordPromptId, "Type your password again.");
        ASSERT_TRUE(desktop.WaitForWindow(d, kAppearMs));
        EXPECT_EQ(desktop.Widget(d, kPasswordPromptId)->text, "Type your password again.");
        desktop.Click(d, IDOK);
      },
      [&] { return QvAskPassword(question); });
  EXPECT_EQ(reply.answer, QvPasswordAnswer::Given);
  EXPECT_EQ(reply.password.View(), "s3cret pass");

  // Choosing a password: two that differ bring up the dialog's message box and empty both
  // fields in the window; the same one twice is taken.
  question.choose = true;
  const QvPasswordReply chosen = RunAnswered(
      desktop, kNewPasswordDialogId, "new-password",
      [&](HWND d) {
        desktop.Type(d, kPasswordEditId, "one");
        desktop.Type(d, kPasswordConfirmId, "two");
        desktop.Click(d, IDOK);
        std::string text;
        ASSERT_TRUE(desktop.WaitForMessageBox(kAppearMs, &text, nullptr));
        EXPECT_NE(text.find("do not match"), std::string::npos) << text;
        Screenshot(desktop, nullptr, "new-password-mismatch");
        EXPECT_TRUE(desktop.ClickMessageBox("OK"));
        ASSERT_TRUE(desktop.WaitForWindow(d, kAppearMs));
        EXPECT_EQ(desktop.Widget(d, kPasswordEditId)->text, "");
        EXPECT_EQ(desktop.Widget(d, kPasswordConfirmId)->text, "");
        desktop.Type(d, kPasswordEditId, "same");
        desktop.Type(d, kPasswordConfirmId, "same");
        desktop.Click(d, IDOK);
      },
      [&] { return QvAskPassword(question); });
  EXPECT_EQ(chosen.answer, QvPasswordAnswer::Given);
  EXPECT_EQ(chosen.password.View(), "same");
}

TEST_F(DesktopDialogsTest, ListsAndBarsShowTheDialogsStateAndSelectionGoesBothWays) {
  ASSERT_TRUE(desktop_);
  DesktopBackend& desktop = *desktop_;
  // The progress dialog's template, filled by hand: a list whose rows change while it shows.
  class Filled : public CDialog {
   public:
    Filled() : CDialog(LoadDialogTemplate(IDD_PROGRESS), nullptr) {}
    BOOL OnInitDialog() override {
      CListCtrl list(::GetDlgItem(m_hWnd, IDC_PROGRESS_LIST));
      list.InsertColumn(0, "Filename");
      list.InsertColumn(1, "Status");
      for (const char* name : {"b.txt", "a.txt", "c.txt"})
        list.InsertItem(list.GetItemCount(), name);
      list.SetItemText(0, 1, "Success");
      list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
      CProgressCtrl bar(::GetDlgItem(m_hWnd, IDC_PROGRESS_BAR));
      bar.SetRange32(10, 14);
      bar.SetPos(13);
      return TRUE;
    }
  } dialog;
  const INT_PTR result = RunAnswered(
      desktop, IDD_PROGRESS, "list",
      [&](HWND d) {
        const auto shown = desktop.Widget(d, IDC_PROGRESS_LIST);
        ASSERT_TRUE(shown.has_value());
        EXPECT_EQ(shown->columns, (std::vector<std::string>{"Filename", "Status"}));
        ASSERT_EQ(shown->rows.size(), 3u);
        EXPECT_EQ(shown->rows[0], (std::vector<std::string>{"b.txt", "Success"}));
        EXPECT_EQ(shown->selected, std::vector<int>{2});
        EXPECT_DOUBLE_EQ(desktop.Widget(d, IDC_PROGRESS_BAR)->fraction, 0.75);
        // The user selects the first two rows: the dialog's list learns it.
        ASSERT_TRUE(desktop.SelectRows(d, IDC_PROGRESS_LIST, {0, 1}));
        CListCtrl list(GetDlgItem(d, IDC_PROGRESS_LIST));
        EXPECT_EQ(list.GetSelectedCount(), 2u);
        EXPECT_EQ(list.GetItemState(2, LVIS_SELECTED), 0u);
        // The dialog removes a row and renames another: the window follows.
        list.DeleteItem(0);
        list.SetItemText(0, 0, "renamed.txt");
        ASSERT_TRUE(desktop.WaitForWindow(d, kAppearMs));
        const auto after = desktop.Widget(d, IDC_PROGRESS_LIST);
        ASSERT_EQ(after->rows.size(), 2u);
        EXPECT_EQ(after->rows[0][0], "renamed.txt");
        EXPECT_EQ(after->rows[1][0], "c.txt");
        desktop.Click(d, IDCANCEL);
      },
      [&] { return dialog.DoModal(); });
  EXPECT_EQ(result, IDCANCEL);
}

// ---- The progress dialog of a real encryption ----

class DesktopProgressTest : public engine_test::ProgressDialogFixture {
 protected:
  void SetUp() override {
    engine_test::ProgressDialogFixture::SetUp();
    desktop_ = std::make_unique<DesktopSession>();
  }
  void TearDown() override {
    desktop_.reset();
    engine_test::ProgressDialogFixture::TearDown();
  }
  std::unique_ptr<DesktopSession> desktop_;
};

TEST_F(DesktopProgressTest, TheWindowFollowsTheRunAndItsOkClosesTheResultTable) {
  ASSERT_TRUE(*desktop_);
  DesktopBackend& desktop = **desktop_;
  // A run that ends by itself needs no user: b.txt is encrypted.
  engine_test::WriteBytes(P("b.txt"), "beta");
  CProgressDlg first(Request({P("b.txt")}, true, "alice"));
  ASSERT_EQ(first.DoModal(), IDOK);
  // Decrypting it with a plain file after it: the plain one is refused, so the dialog stays
  // open on its table with OK.
  engine_test::WriteBytes(P("a.txt"), "alpha");
  CProgressDlg dialog(Request({P("b.txt.qvf"), P("a.txt")}, false, "alice"));
  std::thread user([&] {
    const HWND d = AwaitDialog(IDD_PROGRESS);
    ASSERT_NE(d, nullptr);
    // Wait for the end of the run: the button turns into OK.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    std::optional<DesktopBackend::WidgetView> button;
    while (Clock::now() < deadline) {
      if (desktop.WaitForWindow(d, kAppearMs)) button = desktop.Widget(d, IDCANCEL);
      if (button && button->sensitive && button->text == engine_test::Text(IDS_OK)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(button && button->text == engine_test::Text(IDS_OK));
    ExpectWindowShowsDialog(desktop, d);
    // The table shows the dialog's rows as they stand, the refused link among them.
    DialogState state;
    ASSERT_TRUE(SnapshotDialog(d, &state));
    std::vector<std::vector<std::string>> expected;
    for (const ListItemState& item : state.Control(IDC_PROGRESS_LIST)->items)
      expected.push_back(item.texts);
    const auto list = desktop.Widget(d, IDC_PROGRESS_LIST);
    EXPECT_EQ(list->rows, expected);
    EXPECT_EQ(list->columns.size(), 3u);
    ASSERT_EQ(list->rows.size(), 2u);
    EXPECT_EQ(list->rows[0][1], engine_test::Text(IDS_SUCCESS));
    EXPECT_EQ(list->rows[1][1], engine_test::Text(132));
    Screenshot(desktop, d, "progress-finished");
    desktop.Click(d, IDCANCEL);
  });
  const INT_PTR result = dialog.DoModal();
  user.join();
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(engine_test::ReadBytes(P("b.txt")), "beta");
  EXPECT_EQ(engine_test::ReadBytes(P("a.txt")), "alpha");
}

TEST_F(DesktopProgressTest, CancelClickedDuringALongEncryptionReachesTheDialogWithin100ms) {
  ASSERT_TRUE(*desktop_);
  DesktopBackend& desktop = **desktop_;
  // Enough work that the encryption is still running when Cancel is clicked.
  std::vector<std::string> items;
  for (int i = 0; i < 1500; ++i) {
    items.push_back(P("file" + std::to_string(i) + ".bin"));
    engine_test::WriteBytes(items.back(), engine_test::Bytes(4096, static_cast<char>(i)));
  }
  CProgressDlg dialog(Request(items, true, "alice"));
  Clock::duration answeredIn{};
  bool clicked = false;
  std::thread user([&] {
    const HWND d = AwaitDialog(IDD_PROGRESS);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(desktop.WaitForWindow(d, kAppearMs));
    // Cancel is live once the items are prepared and the call runs.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const auto began = Clock::now();
    for (;;) {
      const auto cancel = desktop.Widget(d, IDCANCEL);
      ASSERT_TRUE(cancel.has_value())
          << "the run ended before Cancel could be clicked, after "
          << (Clock::now() - began) / std::chrono::milliseconds(1) << " ms";
      if (cancel->sensitive) break;
      ASSERT_LT(Clock::now(), deadline) << "Cancel never became clickable";
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Screenshot(desktop, d, "progress-running");
    const auto start = Clock::now();
    ASSERT_TRUE(desktop.Click(d, IDCANCEL));
    clicked = true;
    while (!dialog.CancelRequested() && Clock::now() - start < std::chrono::seconds(5))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    answeredIn = Clock::now() - start;
  });
  dialog.DoModal();
  user.join();
  ASSERT_TRUE(clicked);
  EXPECT_TRUE(dialog.CancelRequested());
  // The bound the user feels is 100 ms; an instrumented build on a loaded machine runs the
  // same path several times slower, so it is held to a looser bound of the same wait.
#if defined(__SANITIZE_ADDRESS__)
  constexpr auto kBound = std::chrono::milliseconds(400);
#else
  constexpr auto kBound = std::chrono::milliseconds(100);
#endif
  EXPECT_LT(answeredIn, kBound)
      << std::chrono::duration_cast<std::chrono::milliseconds>(answeredIn).count() << " ms";
  // Cancelled before the end: the last file was never touched.
  EXPECT_TRUE(engine_test::Present(items.back()));
  EXPECT_FALSE(engine_test::Present(items.back() + ".qvf"));
}

}  // namespace
