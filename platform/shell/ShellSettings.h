// The user's file-manager settings a view honours (SHGetSettings): whether the extensions of
// known file types are shown. Read from the user's hive at each call, where the file manager
// keeps them: HKEY_CURRENT_USER "Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced",
// DWORD "HideFileExt" (missing: hidden, the file manager's own default), and whether a
// permanent delete is confirmed: DWORD "NoConfirmDelete" there (missing or 0: confirmed).
#pragma once

#include "platform/WinTypes.h"

inline constexpr DWORD SSF_SHOWEXTENSIONS = 0x00000002;
inline constexpr DWORD SSF_NOCONFIRMRECYCLE = 0x00008000;

struct SHELLFLAGSTATE {
  BOOL fShowExtensions;
  BOOL fNoConfirmRecycle;
};

// Fills the fields that `mask` names; the others are left as they are.
QV_API void SHGetSettings(SHELLFLAGSTATE* state, DWORD mask) noexcept;
