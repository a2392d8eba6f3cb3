// The desktop back end of the dialog framework: every dialog and message box as a GTK 4
// window, for programs started from a file manager or a double-click.
//
// GTK runs on a thread of its own that the back end starts, so a window stays live whatever
// the dialog's thread is doing, and a dialog's thread never runs GTK code. The two meet only
// through the framework's thread-safe calls: what the user does in a window becomes a click
// posted to the dialog (PressDialogButton), a tick (CheckDlgButton), a text (SetWindowTextA)
// or a close through the system menu, which wakes the dialog's "message or done" wait at once;
// what a dialog changes is marked and drawn by the GTK thread a moment later, many changes in
// one go. A modal dialog therefore never asks the back end to act: it waits for its messages.
//
// Edit fields hand their text to the dialog only when a button is pressed (or the window is
// closed), so a password is copied once, not after every key.
//
// When GTK closes its display, every dialog is closed as if no back end were installed and
// message boxes answer with their Cancel value: nothing waits for a user who can no longer see
// it. (A display server that dies ends the process from inside GTK.)
//
// The methods after the UiBackend ones act through the widgets, as a user's mouse would; tests
// and demonstrations use them. They run on the GTK thread and wait for it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/Backend.h"

class QV_API DesktopBackend : public UiBackend {
 public:
  // Opens the display (DISPLAY or WAYLAND_DISPLAY) on the back end's own GTK thread. Null, with
  // the reason in `*why`, when GTK cannot open it.
  static std::unique_ptr<DesktopBackend> Open(std::string* why);
  ~DesktopBackend() override;
  DesktopBackend(const DesktopBackend&) = delete;
  DesktopBackend& operator=(const DesktopBackend&) = delete;

  // ---- UiBackend ----
  void DialogShown(const DialogState& dialog) override;
  void ControlChanged(const ControlChange& change) override;
  bool WaitForUser(HWND dialog) override;
  void DialogClosed(const DialogState& dialog, INT_PTR result) override;
  int ShowMessageBox(HWND owner, const char* text, const char* caption, UINT type) override;
  // The page in a browser-engine view inside the dialog's window (see WebPageHost.h).
  std::unique_ptr<PageHost> CreatePageHost(HWND dialog, const PageSource& source) override;

  // ---- Through the widgets ----

  // What a window shows, read from its widgets.
  struct WidgetView {
    std::string text;  // label, button caption or entry content
    bool sensitive = false;
    bool visible = false;
    bool active = false;    // check box ticked, spinner spinning
    double fraction = 0.0;  // progress bar
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
    std::vector<int> selected;
  };
  // The window of `dialog` once it is on screen and drawn with the dialog's latest state;
  // false when it does not appear within `timeoutMs`.
  bool WaitForWindow(HWND dialog, int timeoutMs);
  // The title of the window of `dialog`; empty when it has none.
  std::string WindowTitle(HWND dialog);
  // The widget of control `id`, as drawn; nullopt when the window or control is missing.
  std::optional<WidgetView> Widget(HWND dialog, int id);
  // Clicks the button `id` as the mouse does (nothing happens when it is greyed).
  bool Click(HWND dialog, int id);
  // Toggles the check box `id`.
  bool Toggle(HWND dialog, int id);
  // Replaces the content of the entry `id`, as typing does.
  bool Type(HWND dialog, int id, const std::string& text);
  // Selects exactly `rows` of the list `id`.
  bool SelectRows(HWND dialog, int id, const std::vector<int>& rows);
  // Asks the window to close, as its close box does.
  bool RequestClose(HWND dialog);
  // The open message box's text and its button captions; false when none is open within
  // `timeoutMs`.
  bool WaitForMessageBox(int timeoutMs, std::string* text, std::vector<std::string>* buttons);
  // Clicks the button with `caption` of the open message box.
  bool ClickMessageBox(const std::string& caption);
  // Writes a picture of the window of `dialog` (null: the open message box) to `pngPath`.
  bool SaveScreenshot(HWND dialog, const std::string& pngPath, std::string* why);

  // ---- Through a page dialog's view ----

  // How long a page may take to load, and a call into it to answer (milliseconds).
  void SetPageLimits(int loadMs, int callMs);
  // True once the page of `dialog` has loaded; false when it failed or `timeoutMs` passed.
  bool WaitForPage(HWND dialog, int timeoutMs);
  // Runs the caller's function body in the page with string arguments (as variables named as
  // given) and returns its result as JSON, as a user's action in the page would run. Never give
  // it text that came from a user.
  bool RunPageScript(HWND dialog, const std::string& body,
                     const std::vector<std::pair<std::string, std::string>>& arguments,
                     std::string* json);
  // The address the view shows; what the view refused so far (navigations and requests).
  std::string PageUri(HWND dialog);
  std::vector<std::string> RefusedPageRequests(HWND dialog);

  struct Gui;

 private:
  DesktopBackend();
  std::unique_ptr<Gui> gui_;
};
