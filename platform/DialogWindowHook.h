// How the window functions of platform/Window.h reach the dialog framework's windows.
// PostMessageA, IsWindow and DestroyWindow take dialog and control handles as well as message
// windows, but the framework (platform/ui/) is built on the message windows, not below them:
// so the framework installs this hook when the library loads, and the message-window code
// asks it about every handle before treating the handle as its own. Not for product code.
#pragma once

#include "platform/WinTypes.h"

namespace qv::detail {

class DialogWindowHook {
 public:
  // True for a handle of the framework's (a dialog or a control, live or not): the calls
  // below then answer for it. The calls may throw; their callers guard them.
  virtual bool Owns(HWND window) = 0;
  virtual BOOL Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual BOOL Exists(HWND window) = 0;
  virtual BOOL Destroy(HWND window) = 0;

 protected:
  ~DialogWindowHook() = default;
};

// The hook must live as long as the process; installing another replaces it.
void InstallDialogWindowHook(DialogWindowHook* hook) noexcept;

}  // namespace qv::detail
