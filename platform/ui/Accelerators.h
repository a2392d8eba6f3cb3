// Keyboard accelerators of the dialog framework: a table of keys, each with its modifiers and
// the command it stands for, and TranslateAcceleratorA, which turns a key message into that
// command for a window.
//
// Key messages (WM_KEYDOWN) carry the virtual key in wParam and, since there is no keyboard
// state to ask, the modifiers held with it (FSHIFT, FCONTROL, FALT) in lParam.
#pragma once

#include "platform/Window.h"
#include "platform/ui/UiTypes.h"

inline constexpr UINT WM_KEYDOWN = 0x0100;

// Virtual keys the views use; letters and digits are their upper-case ASCII codes.
inline constexpr WORD VK_BACK = 0x08;
inline constexpr WORD VK_RETURN = 0x0D;
inline constexpr WORD VK_ESCAPE = 0x1B;
inline constexpr WORD VK_UP = 0x26;
inline constexpr WORD VK_DOWN = 0x28;
inline constexpr WORD VK_DELETE = 0x2E;
inline constexpr WORD VK_F2 = 0x71;
inline constexpr WORD VK_F5 = 0x74;

// ACCEL flags.
inline constexpr BYTE FVIRTKEY = 0x01;
inline constexpr BYTE FSHIFT = 0x04;
inline constexpr BYTE FCONTROL = 0x08;
inline constexpr BYTE FALT = 0x10;

struct ACCEL {
  BYTE fVirt;  // FVIRTKEY with the modifiers that must be held
  WORD key;
  WORD cmd;
};

struct HACCEL__;
using HACCEL = HACCEL__*;

// A table of `count` entries (copied); null with ERROR_INVALID_PARAMETER for none.
[[nodiscard]] QV_API HACCEL CreateAcceleratorTableA(const ACCEL* entries, int count) noexcept;
QV_API BOOL DestroyAcceleratorTable(HACCEL table) noexcept;
// When `msg` is a WM_KEYDOWN whose key and modifiers (exactly) match an entry, sends
// WM_COMMAND with MAKEWPARAM(cmd, 1) to `window` and returns TRUE; FALSE otherwise.
QV_API int TranslateAcceleratorA(HWND window, HACCEL table, MSG* msg) noexcept;
