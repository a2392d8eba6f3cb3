// The site that hosts the sharing page: which keys reach the page. The page is a dialog, not a
// browser, so the browser's own shortcuts (new window, print, reload, help) are swallowed,
// while copy and paste keep working in the user-name box.
//
// Only the key rules are here. The page host loads nothing but the page's packaged resources
// and allows no navigation, so there is no URL action to allow and no security prompt to
// avoid.
#pragma once

#include "platform/Com.h"
#include "platform/WinTypes.h"

inline constexpr UINT WM_KEYDOWN = 0x0100;

// The modifier keys held with a key.
struct KeyModifiers {
  bool ctrl = false;
  bool leftAlt = false;
  bool rightAlt = false;
};

class CCustomControlSite {
 public:
  // Function keys F1 to F12 whose bit (F1 = bit 0) is set are swallowed; 0x1000 swallows
  // Backspace and 0x2000 Enter.
  static constexpr DWORD kDefaultKeyMask = 4094;
  static constexpr DWORD kBackspaceBit = 0x1000;
  static constexpr DWORD kEnterBit = 0x2000;

  explicit CCustomControlSite(HWND dialog, DWORD keyMask = kDefaultKeyMask)
      : dialog_(dialog), keyMask_(keyMask) {}

  // S_OK when the key is swallowed, S_FALSE when it passes to the page. Only key-down
  // messages are looked at.
  [[nodiscard]] HRESULT TranslateAccelerator(UINT message, WPARAM key,
                                             KeyModifiers modifiers) const;
  HWND Dialog() const { return dialog_; }

 private:
  HWND dialog_;
  DWORD keyMask_;
};
