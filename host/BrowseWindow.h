// qvx browse on a desktop: the browser as a window. Its frame is a modeless dialog shown by
// the desktop back end with the place's path as its title and a toolbar (the browser's Up and
// Refresh, then the buttons the view gives through SetToolbarItems); the view's dialog is
// created as its child and fills it.
//
// The frame's thread is the view's: it binds as ContainerBrowser does and then pumps
// messages, taking the keys the back end posts to the view before they are dispatched, as a
// file manager's window does: Enter (and a double-click) browses into a selected folder or
// gives a file to the view's Open command, Backspace goes up, F5 refreshes, F2 asks for the
// selected row's new name and hands it to the view's label edit, every other key goes to the
// view's accelerators. Files dropped in and rows dragged out go through the view's drop target
// and data object. A right-click reaches the view, whose pop-up menu the back
// end shows at the pointer. Closing the frame ends the run.
#pragma once

#include <functional>
#include <string>

#include "platform/WinTypes.h"

class ContainerBrowser;

class DesktopBackend;

// The template id of the frame, by which tests find its dialog.
inline constexpr UINT kBrowseFrameTemplateId = 0x7B01;
// The frame's own toolbar commands.
inline constexpr WORD kBrowseCommandUp = 0x7B10;
inline constexpr WORD kBrowseCommandRefresh = 0x7B11;
// F2's dialog, which asks for a row's new name, and its name field.
inline constexpr UINT kBrowseRenameTemplateId = 0x7B02;
inline constexpr int kBrowseRenameEditId = 0x7B20;

// Browses `path` (a place inside a container, see SplitContainerPath) in a window of
// `desktop` until the user closes it. qvx's exit code: 0 when the window was closed, else
// the place could not be opened (as `openFailed` gives it for the error, which it also
// reports on standard error); the error is shown in a message box as well.
int RunBrowseWindow(
    const std::string& path, DesktopBackend& desktop,
    const std::function<int(const ContainerBrowser&, const std::string&)>& openFailed);
