// The back end of the dialog framework: what shows dialogs to a user and brings the user's
// answers back. A program installs one (headless for tests, terminal for the command-line
// programs); the framework calls it when a dialog is shown, when a control changes, when a
// modal dialog waits for its user, when a dialog closes, and for every message box.
//
// Without an installed back end a modal dialog that waits for its user is closed at once (it
// returns its Cancel value) after its texts are written to standard error, and message boxes
// answer with their default button: nothing ever waits for a user who is not there.
#pragma once

#include <memory>
#include <vector>

#include "platform/WinTypes.h"
#include "platform/ui/PageHost.h"
#include "platform/ui/UiTypes.h"

class UiBackend {
 public:
  virtual ~UiBackend() = default;

  // A dialog became visible. Runs on the dialog's thread.
  virtual void DialogShown(const DialogState& dialog);
  // A control (or the dialog's caption or Close item) changed. Runs on the thread that changed
  // it, with no framework lock held.
  virtual void ControlChanged(const ControlChange& change);
  // A modal dialog has nothing to handle and waits for its user. The back end acts as the user
  // (SetWindowTextA, CheckDlgButton, PressDialogButton, CloseDialogBySystemMenu) and returns
  // true, or returns false to let the dialog wait for messages.
  virtual bool WaitForUser(HWND dialog) = 0;
  // A dialog ended with `result`; `dialog` is its last state.
  virtual void DialogClosed(const DialogState& dialog, INT_PTR result);
  // Shows a message box and returns the button chosen (IDOK, IDCANCEL, IDYES, IDNO, ...).
  virtual int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) = 0;
  // Called at every pump of every thread: post input that arrived in between (Ctrl+C).
  virtual void Poll();
  // A descriptor that is readable while Poll has something to do, so waits wake up; -1 if none.
  virtual int WakeFd() const;
  // The host of `dialog`'s page (see PageHost.h); by default the element model, which the
  // back end's user drives through ElementPageOf.
  virtual std::unique_ptr<PageHost> CreatePageHost(HWND dialog, const PageSource& source);
};

// Installs `backend` (null: none) and returns the one installed before. Message boxes of the
// process (MessageBoxA) go through the installed back end. The caller keeps the back end alive
// while it is installed.
QV_API UiBackend* SetUiBackend(UiBackend* backend) noexcept;
QV_API UiBackend* CurrentUiBackend() noexcept;

// ---- What a user can do, for back ends ----

// Clicks a button of a dialog: posts BM_CLICK, which is ignored when the button is disabled or
// hidden by the time it is handled. False when the dialog has no such button.
QV_API bool PressDialogButton(HWND dialog, int id) noexcept;
// Closes a dialog through its system menu, as the window's close box does; ignored while the
// Close item is greyed.
QV_API bool CloseDialogBySystemMenu(HWND dialog) noexcept;
// Ends a modal dialog with `result` at its next pump, whatever its buttons say.
QV_API bool EndModalDialog(HWND dialog, INT_PTR result) noexcept;
// A copy of a dialog's state; false when `dialog` is not a dialog.
QV_API bool SnapshotDialog(HWND dialog, DialogState* out) noexcept;
// The dialogs of the process, oldest first.
QV_API std::vector<HWND> OpenDialogs() noexcept;

// The answer of a message box that is closed without a choice: Cancel where there is one,
// No for Yes/No, OK for OK alone.
QV_API int MessageBoxCancelResult(UINT type) noexcept;
// The buttons of a message box type, in display order (IDOK, IDCANCEL, ...), and their texts.
QV_API std::vector<int> MessageBoxButtons(UINT type);
QV_API const char* MessageBoxButtonText(int button) noexcept;

// The host for `dialog`'s page from the installed back end (an element page when none is
// installed); null when memory runs out.
QV_API std::unique_ptr<PageHost> CreateDialogPage(HWND dialog, const PageSource& source) noexcept;
