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
// A browser's window (qvx browse) is a frame: a modeless dialog marked with MakeFrame, whose
// window has a toolbar under its title and shows the dialog created as its child (the view)
// inside it, filling it, instead of in a window of its own. List texts that a list's parent
// gives on demand are asked for on the thread that added the row, never on the GTK thread.
//
// The methods after the browser ones act through the widgets, as a user's mouse would; tests
// and demonstrations use them. They run on the GTK thread and wait for it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/shell/FileGroupDescriptor.h"
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

  // ---- Browser frames ----

  // Makes `frame`, a modeless dialog not yet shown, a browser's frame. In it, keys that are
  // not the list's own (Enter, Delete, Backspace, Esc, the function keys, anything held with
  // Ctrl or Alt) are posted to the child dialog as WM_KEYDOWN with the modifiers in lParam,
  // for the browser to translate; Ctrl+W closes the frame as its close box does. A
  // double-click on a row selects it and posts Enter the same way; a right-click selects the
  // row under the pointer (unless it is selected already) and posts WM_CONTEXTMENU.
  void MakeFrame(HWND frame);
  struct ToolbarButton {
    int command = 0;   // 0: a separator
    std::string icon;  // a freedesktop icon name
    std::string tooltip;
    bool enabled = true;
    bool checkable = false;
    bool checked = false;
  };
  // Replaces the toolbar of `frame`; a press posts WM_COMMAND with the button's command to
  // `frame`. Does not wait for the GTK thread.
  void SetToolbar(HWND frame, std::vector<ToolbarButton> buttons);
  // A pop-up menu chooser (QvSetPopupMenuChooser, the back end as context): shows `menu` at the
  // last right-click in a frame's list and returns the chosen item's id, 0 when the menu is
  // dismissed or no frame is shown. Waits for the user.
  static UINT ChoosePopupMenuItem(HMENU menu, void* backend);

  // Files dropped from elsewhere (text/uri-list) on the list of a dialog shown in a frame. Only
  // local files are taken, and only as a copy: the drop is answered before the view has stored
  // anything, so a source told "moved" could delete files that never arrived. The back end
  // posts kFilesDroppedMessage to the list's dialog; TakeDroppedFiles gives the drops not taken
  // yet, oldest first (false when there is none).
  static constexpr UINT kFilesDroppedMessage = WM_APP + 0x7C1;
  struct DroppedFiles {
    HWND list = nullptr;
    std::vector<std::string> paths;
    // Where in the list, as the framework's list measures it: on the row under the pointer, or
    // beside every row.
    POINTL point{-1, -1};
  };
  bool TakeDroppedFiles(HWND dialog, DroppedFiles* drop);

  // Rows dragged out of the list of a dialog shown in a frame are offered as text/uri-list,
  // made only when a drop target asks for it: the back end then posts kFilesWantedMessage to
  // the list's dialog with a request number in wParam, and the dialog answers with
  // GiveDraggedFiles: the local files that stand for the list's selected rows, or none when
  // they cannot be given (the drop then fails). A drag out is offered as a copy only; rows
  // dragged onto a list of this process are not taken.
  static constexpr UINT kFilesWantedMessage = WM_APP + 0x7C2;
  void GiveDraggedFiles(WPARAM request, std::vector<std::string> paths);

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
    std::vector<std::string> icons;  // list view: each row's icon name
    // List view: per row, the icon its image is drawn with, as the display's icon theme
    // resolves it ("" for a row not on screen).
    std::vector<std::string> drawnIcons;
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
  // The toolbar of `frame` as drawn.
  std::vector<ToolbarButton> Toolbar(HWND frame);
  // Presses the toolbar button of `command` (nothing happens when it is greyed).
  bool ClickToolbar(HWND frame, int command);
  // A key pressed in the frame, as GTK hands it to the frame ("Return", "<Control>a", "F5");
  // false when the key is not the frame's to forward.
  bool PressKey(HWND frame, const std::string& accelerator);
  // Double-clicks row `row` of the list `id`.
  bool ActivateRow(HWND dialog, int id, int row);
  // Right-clicks row `row` of the list `id`.
  bool RightClickRow(HWND dialog, int id, int row);
  // Drops the files of `uriList` (text/uri-list) on row `row` of the list `id` (-1: beside the
  // rows), as the desktop's drag and drop hands them over; false when the list takes no drops
  // or refused them (a URI that is no local file).
  bool DropUriList(HWND dialog, int id, const std::string& uriList, int row);
  // Starts a drag of row `row` of the list `id` (selecting it alone unless it is selected) and
  // asks for its text/uri-list as a drop target does; false when there is no drag or the
  // data does not come within `timeoutMs`.
  bool DragRowsOut(HWND dialog, int id, int row, int timeoutMs, std::string* uriList);
  // The items of the open pop-up menu ("-" for a separator); false when none is open within
  // `timeoutMs`.
  bool WaitForPopupMenu(int timeoutMs, std::vector<std::string>* items);
  // Clicks the item of the open pop-up menu whose text (without its mnemonic) is `text`.
  bool ClickPopupMenu(const std::string& text);
  // Closes the open pop-up menu without a choice, as a click elsewhere does.
  bool DismissPopupMenu();
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
