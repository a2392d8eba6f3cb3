// The modal loop with the headless user: scripted answers, closing rules, unexpected dialogs
// and message boxes, nested dialogs, timers and messages from other threads.
#include <gtest/gtest.h>

#include <thread>

#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "platform/ui/Dialog.h"
#include "tests/common/HeadlessUi.h"
#include "tests/platform/ui/UiTestDialogs.h"

namespace {

using Step = HeadlessBackend::Step;

TEST(DialogTest, ScriptedAnswersReachTheHandlersAndTheRecord) {
  HeadlessUi ui;
  ui.Answer(500, {Step{Step::Kind::Type, 11, "typed text"}, Step{Step::Kind::Check, 10, {}},
                  Step{Step::Kind::Press, IDOK, {}}});
  LambdaDialog dialog(AskTemplate(), nullptr);
  std::string seenInOk;
  dialog.onCommand = [&](LambdaDialog& d, WORD id) {
    if (id == IDOK) seenInOk = d.GetDlgItemText(11);
    return false;
  };
  EXPECT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(seenInOk, "typed text");
  HeadlessBackend::ClosedDialog closed;
  ASSERT_TRUE(ui.LastClosed(500, &closed));
  EXPECT_EQ(closed.result, IDOK);
  EXPECT_EQ(closed.state.caption, "Ask");
  EXPECT_TRUE(closed.state.Control(10)->checked);
  EXPECT_EQ(closed.state.Texts(), "Question?\nRemember\nOK\nCancel\n");
  EXPECT_EQ(dialog.GetSafeHwnd(), nullptr);
  EXPECT_FALSE(IsWindow(closed.state.hwnd));
}

TEST(DialogTest, ClosingTheWindowGivesTheCancelValueUnlessCancelIsDisabled) {
  HeadlessUi ui;
  ui.CloseWindow(500);
  LambdaDialog plain(AskTemplate(), nullptr);
  EXPECT_EQ(plain.DoModal(), IDCANCEL);
  EXPECT_TRUE(plain.cancelled);

  // With Cancel disabled and the Close item greyed, neither closing nor a click on Cancel
  // does anything; the dialog goes on until OK.
  ui.Answer(500, {Step{Step::Kind::Close, 0, {}}, Step{Step::Kind::Press, IDCANCEL, {}}});
  ui.PressButton(500, IDOK);
  LambdaDialog guarded(AskTemplate(), nullptr);
  guarded.onInit = [](LambdaDialog& d) {
    d.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
    d.EnableCloseItem(false);
  };
  EXPECT_EQ(guarded.DoModal(), IDOK);
  EXPECT_FALSE(guarded.cancelled);
  EXPECT_EQ(guarded.commands, std::vector<WORD>{IDOK});
}

TEST(DialogTest, UnexpectedDialogsAndBoxesFailAndNeverHang) {
  HeadlessBackend user;  // failures collected here instead of failing this test
  std::vector<std::string> failures;
  user.SetFailureHandler([&](const std::string& m) { failures.push_back(m); });
  UiBackend* previous = SetUiBackend(&user);

  LambdaDialog plain(AskTemplate(), nullptr);
  EXPECT_EQ(plain.DoModal(), IDCANCEL);
  // Even a dialog that refuses every way of closing ends.
  LambdaDialog stubborn(AskTemplate(501), nullptr);
  stubborn.onInit = [](LambdaDialog& d) {
    d.GetDlgItem(IDCANCEL).EnableWindow(FALSE);
    d.EnableCloseItem(false);
  };
  EXPECT_EQ(stubborn.DoModal(), IDCANCEL);
  EXPECT_EQ(MessageBoxA(nullptr, "Replace it?", "Title", MB_YESNO), IDNO);
  SetUiBackend(previous);

  ASSERT_EQ(failures.size(), 3u);
  EXPECT_NE(failures[0].find("dialog 500 \"Ask\""), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("Question?"), std::string::npos) << failures[0];
  EXPECT_NE(failures[1].find("dialog 501"), std::string::npos) << failures[1];
  EXPECT_NE(failures[2].find("Replace it?"), std::string::npos) << failures[2];
}

TEST(DialogTest, InitialisationGivesTheFocusToTheFirstTabStopUnlessItPlacedItItself) {
  HeadlessUi ui;
  DialogTemplate tabbed = AskTemplate();
  tabbed.controls[1].style |= WS_TABSTOP | WS_DISABLED;  // check box 10: disabled, skipped
  tabbed.controls[3].style |= WS_TABSTOP;                // OK
  for (const BOOL result : {TRUE, FALSE}) {
    SCOPED_TRACE(result);
    ui.PressButton(500, IDCANCEL);
    LambdaDialog dialog(tabbed, nullptr);
    dialog.initResult = result;
    HWND focus = nullptr;
    HWND ok = nullptr;
    dialog.onInit = [&](LambdaDialog& d) {
      ok = ::GetDlgItem(d.GetSafeHwnd(), IDOK);
      SetFocus(::GetDlgItem(d.GetSafeHwnd(), 11));
    };
    dialog.onCommand = [&](LambdaDialog&, WORD) {
      focus = GetFocus();
      return false;
    };
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(focus == ok, result == TRUE);
  }
}

TEST(DialogTest, WithoutABackEndEvenAStubbornDialogEndsWithItsCancelValue) {
  UiBackend* previous = SetUiBackend(nullptr);
  LambdaDialog stubborn(AskTemplate(), nullptr);
  stubborn.onInit = [](LambdaDialog& d) { d.GetDlgItem(IDCANCEL).EnableWindow(FALSE); };
  EXPECT_EQ(stubborn.DoModal(), IDCANCEL);
  EXPECT_FALSE(stubborn.cancelled) << "the disabled Cancel was never pressed";
  EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_YESNO | MB_DEFBUTTON2), IDNO);
  SetUiBackend(previous);
}

TEST(DialogTest, MissingTemplateAndInitThatEndsTheDialog) {
  HeadlessUi ui;
  LambdaDialog missing(std::nullopt, nullptr);
  SetLastError(0);
  EXPECT_EQ(missing.DoModal(), -1);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);

  // A dialog that finishes its work in its initialisation returns without asking anyone.
  LambdaDialog done(AskTemplate(), nullptr);
  done.onInit = [](LambdaDialog& d) { d.EndDialog(7); };
  EXPECT_EQ(done.DoModal(), 7);
}

TEST(DialogTest, MessageBoxesAreAnsweredByMatchAndRecorded) {
  HeadlessUi ui;
  ui.AnswerMessageBox(IDCANCEL, "second");
  ui.AnswerMessageBox(IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "first text", "One", MB_OKCANCEL), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, "the second text", "Two", MB_OKCANCEL | MB_ICONERROR), IDCANCEL);
  const auto boxes = ui.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "One");
  EXPECT_EQ(boxes[1].type, MB_OKCANCEL | MB_ICONERROR);
}

TEST(DialogTest, NestedModalDialogsAnswerInOrderAndTheOuterKeepsItsMessages) {
  HeadlessUi ui;
  ui.PressButton(500, 77);  // outer: a command that opens the inner dialog
  ui.PressButton(501, IDOK);
  ui.PressButton(500, IDCANCEL);
  DialogTemplate withButton = AskTemplate(500);
  withButton.controls.push_back(Button(77, "More"));
  LambdaDialog outer(withButton, nullptr);
  INT_PTR inner = 0;
  outer.onCommand = [&](LambdaDialog& d, WORD id) {
    if (id != 77) return false;
    LambdaDialog dialog(AskTemplate(501), d.GetSafeHwnd());
    inner = dialog.DoModal();
    return true;
  };
  EXPECT_EQ(outer.DoModal(), IDCANCEL);
  EXPECT_EQ(inner, IDOK);
  EXPECT_EQ(outer.commands, (std::vector<WORD>{77, IDCANCEL}));
}

TEST(DialogTest, TimersAndMessagesFromOtherThreadsReachAWaitingDialog) {
  HeadlessUi ui;
  ui.LetRun(500);
  LambdaDialog dialog(AskTemplate(), nullptr);
  int ticks = 0;
  std::thread poster;
  dialog.onInit = [&](LambdaDialog& d) {
    ASSERT_EQ(d.SetTimer(3, 5), 3u);
    const HWND window = d.GetSafeHwnd();
    poster = std::thread([window] {
      EXPECT_EQ(SendMessageA(window, WM_COMMAND, 88, 0), 0);
      PostMessageA(window, WM_COMMAND, 99, 0);
    });
  };
  dialog.onCommand = [](LambdaDialog&, WORD id) { return id == 88; };
  dialog.onTimer = [&](LambdaDialog& d, UINT_PTR id) {
    EXPECT_EQ(id, 3u);
    if (++ticks == 3) {
      EXPECT_TRUE(d.KillTimer(3));
      d.EndDialog(5);
    }
  };
  EXPECT_EQ(dialog.DoModal(), 5);
  poster.join();
  EXPECT_EQ(ticks, 3);
  // The sent command was handled before the posted one, and both on the dialog's thread.
  ASSERT_GE(dialog.commands.size(), 1u);
  EXPECT_EQ(dialog.commands[0], 88);
}

TEST(DialogTest, CancelIsPressedAtTheFirstRowThatIsNotASuccess) {
  HeadlessUi ui;
  ui.PressAtFirstRowNot(501, 201, 1, "Success");
  LambdaDialog dialog(ProgressTemplate(), nullptr);
  int rowsWhenCancelled = -1;
  dialog.onCommand = [&](LambdaDialog& d, WORD id) {
    if (id == IDCANCEL)
      rowsWhenCancelled = CListCtrl(::GetDlgItem(d.GetSafeHwnd(), 201)).GetItemCount();
    return false;
  };
  dialog.onInit = [&](LambdaDialog& d) {
    CListCtrl list(::GetDlgItem(d.GetSafeHwnd(), 201));
    list.InsertColumn(0, "Filename");
    list.InsertColumn(1, "Status");
    for (const char* status : {"Success", "Error: access denied", "Success"}) {
      const int row = list.InsertItem(list.GetItemCount(), "file");
      list.SetItemText(row, 1, status);
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
  };
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(rowsWhenCancelled, 2);
}

}  // namespace
