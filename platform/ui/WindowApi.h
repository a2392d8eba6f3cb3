// The window functions of the dialog framework, with their Windows names and meanings: the
// thread's message queue (post, send, peek, get, dispatch, timers, waiting for "a message or
// an object"), and the state of dialog windows and their controls (texts, enabled, shown,
// checked, focus, the system menu's Close item, icons).
//
// A dialog or control window belongs to the thread that created it: its posted messages and
// timers arrive in that thread's queue and are handled when that thread pumps. PostMessageA
// (platform/Window.h) and DestroyWindow/IsWindow accept these windows as well as the per-user
// message windows.
#pragma once

#include "platform/WinTypes.h"
#include "platform/Window.h"
#include "platform/ui/UiTypes.h"

using UINT_PTR = std::uintptr_t;
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

// ---- Message queue of the calling thread ----

// Takes (PM_REMOVE) or looks at the next message for `filter` (null: any window of the
// thread); posted messages first, then due timers (WM_TIMER). FALSE when there is none.
// `minMessage`/`maxMessage` are accepted for source compatibility and must be 0.
QV_API BOOL PeekMessageA(LPMSG msg, HWND filter, UINT minMessage, UINT maxMessage,
                         UINT removeFlags) noexcept;
// Waits for the next message; returns 0 for WM_QUIT, -1 on bad arguments, else non-zero.
QV_API BOOL GetMessageA(LPMSG msg, HWND filter, UINT minMessage, UINT maxMessage) noexcept;
// Calls the window procedure of the message's window; 0 for a message without a window.
QV_API LRESULT DispatchMessageA(const MSG* msg) noexcept;
// Keyboard translation does not apply to the back ends; both return FALSE.
QV_API BOOL TranslateMessage(const MSG* msg) noexcept;
QV_API BOOL IsDialogMessageA(HWND dialog, LPMSG msg) noexcept;
QV_API void PostQuitMessage(int exitCode) noexcept;
// Not a Windows function: the pump of a thread that waits for something else (a worker, the
// next block of a long copy) while its windows stay live. Dispatches every message waiting in
// the queue, through IsDialogMessageA for `dialog` when it is given, and returns true. At
// WM_QUIT it stops and returns false with the quit code in *quitCode (when not null); the
// quit message is then off the queue, so a pump inside another loop posts it again.
QV_API bool PumpWaitingMessages(HWND dialog, int* quitCode) noexcept;
// Calls the window procedure and returns its result. From another thread the message is
// queued for the owner, which handles it at its next pump; the caller waits for it. 0 with
// ERROR_INVALID_WINDOW_HANDLE for a window that does not exist.
QV_API LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Timers deliver WM_TIMER with wParam = id to the window's thread every `milliseconds` while
// that thread pumps; a due timer counts once however late it is. `callback` must be null.
// Setting an existing id restarts it. 0 on failure.
QV_API UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback) noexcept;
[[nodiscard]] QV_API BOOL KillTimer(HWND window, UINT_PTR id) noexcept;

// Waits until one of `handles` (events, threads) is signalled (WAIT_OBJECT_0 + index), a
// message or due timer is in the calling thread's queue (WAIT_OBJECT_0 + count), or the time
// passes (WAIT_TIMEOUT). It blocks; it never spins. `waitAll` must be FALSE.
QV_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD milliseconds, DWORD wakeMask) noexcept;

// ---- Windows and controls ----

QV_API BOOL SetWindowTextA(HWND window, LPCSTR text) noexcept;
// Copies at most size - 1 bytes (never splitting a UTF-8 sequence) and a NUL; returns the
// number copied.
QV_API int GetWindowTextA(HWND window, LPSTR buffer, int size) noexcept;
QV_API int GetWindowTextLengthA(HWND window) noexcept;
// Returns TRUE when the window was disabled before the call.
QV_API BOOL EnableWindow(HWND window, BOOL enable) noexcept;
QV_API BOOL IsWindowEnabled(HWND window) noexcept;
// Returns TRUE when the window was visible before the call.
QV_API BOOL ShowWindow(HWND window, int command) noexcept;
QV_API BOOL IsWindowVisible(HWND window) noexcept;
QV_API HWND GetDlgItem(HWND dialog, int id) noexcept;
QV_API int GetDlgCtrlID(HWND control) noexcept;
QV_API HWND GetParent(HWND window) noexcept;
QV_API BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) noexcept;
QV_API UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) noexcept;
QV_API BOOL CheckDlgButton(HWND dialog, int id, UINT check) noexcept;
QV_API UINT IsDlgButtonChecked(HWND dialog, int id) noexcept;
// The focus of the dialog holding `window`; returns the previous focus.
QV_API HWND SetFocus(HWND window) noexcept;
QV_API HWND GetFocus() noexcept;
QV_API HMENU GetSystemMenu(HWND window, BOOL revert) noexcept;
// Only SC_CLOSE is an item of the system menu. Returns the previous state (MF_ENABLED or
// MF_GRAYED), (UINT)-1 for another item.
QV_API UINT EnableMenuItem(HMENU menu, UINT item, UINT flags) noexcept;

// Icons: a resource icon of a module, and the shell's icon for a path.
inline const char* MAKEINTRESOURCEA(UINT id) {
  return reinterpret_cast<const char*>(static_cast<std::uintptr_t>(id));
}
QV_API HICON LoadIconA(HINSTANCE module, LPCSTR resource) noexcept;
QV_API HICON ExtractAssociatedIconA(HINSTANCE module, LPSTR path, WORD* index) noexcept;
// What an icon shows: "resource:<id>" or "shell:<kind>" ("shell:folder", "shell:file").
QV_API const char* QvIconName(HICON icon) noexcept;
// The icon handle for an icon name (the same name always gives the same handle, kept for the
// life of the process); null when out of memory.
QV_API HICON QvNamedIcon(const char* name) noexcept;
