// Per-user message windows: a process creates a window with a class name and a title, other
// processes of the user find it with FindWindowA and post messages to it, and the owner
// receives them in the order they were posted. This is only the messaging endpoint; dialogs
// and controls belong to the dialog framework, which may wrap it.
//
// A window is a unix datagram socket "wnd-<pid>-<n>" in the user's private runtime folder,
// with "wnd-<pid>-<n>.info" holding its class and title. The HWND encodes the owner's process
// id and n, so the same window has the same HWND in every process. A window whose owner ended
// without destroying it is not found: its socket no longer accepts connections.
#pragma once

#include <vector>

#include "platform/WinTypes.h"

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;  // GetTickCount() of the sender when it posted the message
};
using LPMSG = MSG*;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// Creates a message window owned by the calling process. `className` must be non-empty
// (at most 256 bytes); a null title is empty (at most 1024 bytes). Null on failure.
QV_API HWND CreateMessageWindow(LPCSTR className, LPCSTR title) noexcept;

// Destroys a window of this process: it is no longer found and posting to it fails; a
// thread waiting in ReceiveWindowMessage returns. FALSE with ERROR_ACCESS_DENIED for another
// process's window, ERROR_INVALID_WINDOW_HANDLE for no window.
QV_API BOOL DestroyWindow(HWND window) noexcept;

// A live window of the user whose class and title equal the arguments, ignoring ASCII letter
// case; a null argument matches any. Null (ERROR_FILE_NOT_FOUND) when there is none. Which
// window is found when several match is unspecified.
QV_API HWND FindWindowA(LPCSTR className, LPCSTR windowName) noexcept;

// Every live window of the user that FindWindowA would match, in no particular order.
QV_API std::vector<HWND> QvFindWindowsA(LPCSTR className, LPCSTR windowName) noexcept;

// TRUE when the window exists and its owner is alive.
QV_API BOOL IsWindow(HWND window) noexcept;

// Queues a message for the window without waiting for it to be handled. FALSE with
// ERROR_INVALID_WINDOW_HANDLE when the window does not exist, ERROR_NOT_ENOUGH_QUOTA when its
// owner has stopped taking messages and its queue stayed full for a second.
QV_API BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Takes the next message posted to a window of this process, waiting up to `milliseconds`
// (INFINITE: no limit). False with ERROR_TIMEOUT when none came, ERROR_INVALID_WINDOW_HANDLE
// when the window is not this process's or was destroyed.
QV_API bool ReceiveWindowMessage(HWND window, MSG* out, DWORD milliseconds) noexcept;
