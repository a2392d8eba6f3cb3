// Change notification between the hosts of one user: a program tells every other program
// that shows a place (a folder, or a folder inside a container) that its contents changed, and
// each of them hears about it as a message posted to a window of its own.
//
// A registration is a per-user message window of class "QvShellChangeNotify" titled with the
// place it watches, and a thread that passes what arrives there on to the registering window.
// SHChangeNotify posts to every such window of the user whose place matches, in every
// process, and does not wait for them.
#pragma once

#include "platform/WinTypes.h"
#include "platform/Window.h"

// Events.
inline constexpr LONG SHCNE_RENAMEITEM = 0x00000001;
inline constexpr LONG SHCNE_CREATE = 0x00000002;
inline constexpr LONG SHCNE_DELETE = 0x00000004;
inline constexpr LONG SHCNE_MKDIR = 0x00000008;
inline constexpr LONG SHCNE_RMDIR = 0x00000010;
inline constexpr LONG SHCNE_RENAMEFOLDER = 0x00020000;
inline constexpr LONG SHCNE_UPDATEDIR = 0x00001000;
inline constexpr LONG SHCNE_UPDATEITEM = 0x00002000;
inline constexpr LONG SHCNE_ALLEVENTS = 0x7FFFFFFF;

// What the items of SHChangeNotify are; only paths are carried between processes.
inline constexpr UINT SHCNF_PATHA = 0x0001;
inline constexpr UINT SHCNF_FLUSH = 0x1000;

// The longest place a notification carries (the title of a message window).
inline constexpr size_t kMaxChangePlace = 1024;

// Tells every registration for the place `item1` (a path, with SHCNF_PATHA) about `event`.
// `item2` is not used. A place longer than kMaxChangePlace or not a path reaches nobody.
QV_API void SHChangeNotify(LONG event, UINT flags, const void* item1, const void* item2) noexcept;

// Asks for `message` to be posted to `window` (of this process) with wParam 0 and lParam =
// the event, whenever an event of `events` is notified for `place`. Returns the registration's
// id, 0 on failure (the reason from GetLastError).
[[nodiscard]] QV_API ULONG QvChangeNotifyRegister(HWND window, UINT message, LONG events,
                                                  LPCSTR place) noexcept;
// Ends a registration; messages already posted stay in the window's queue.
QV_API BOOL SHChangeNotifyDeregister(ULONG id) noexcept;
