// Windows and dialogs of the framework in the manner of the Windows class library: CWnd wraps
// a window handle, CDialog runs a dialog template modally (DoModal) or modelessly (Create),
// with OnInitDialog, command handlers, timers, notifications and EndDialog.
//
// A dialog's messages are handled on the thread that created it, whenever that thread pumps:
// in DoModal's own loop, or in any PeekMessageA/DispatchMessageA loop of code running inside
// a handler (the engine pumps while it waits for a worker). When a modal dialog has nothing
// to handle, the installed back end acts as its user.
#pragma once

#include <optional>
#include <string>

#include "platform/MessageBox.h"
#include "platform/WinTypes.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/UiTypes.h"
#include "platform/ui/WindowApi.h"

inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(HWND window) : m_hWnd(window) {}

  HWND GetSafeHwnd() const { return m_hWnd; }
  explicit operator bool() const { return m_hWnd != nullptr; }

  BOOL SetWindowText(const char* text) { return SetWindowTextA(m_hWnd, text); }
  std::string GetWindowText() const;
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  CWnd GetDlgItem(int id) const { return CWnd(::GetDlgItem(m_hWnd, id)); }
  BOOL SetDlgItemText(int id, const char* text) { return SetDlgItemTextA(m_hWnd, id, text); }
  std::string GetDlgItemText(int id) const;
  BOOL CheckDlgButton(int id, UINT check) { return ::CheckDlgButton(m_hWnd, id, check); }
  UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
  CWnd SetFocus() { return CWnd(::SetFocus(m_hWnd)); }
  // Placement is left to the back end; kept for the callers that centre their dialogs.
  void CenterWindow() {}
  // Sets the dialog's icon (shown by back ends that draw one).
  void SetIcon(HICON icon, BOOL big);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return PostMessageA(m_hWnd, message, wParam, lParam);
  }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageA(m_hWnd, message, wParam, lParam);
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT milliseconds) {
    return ::SetTimer(m_hWnd, id, milliseconds, nullptr);
  }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  // Enables or greys the Close item of the window's system menu.
  void EnableCloseItem(bool enable);
  // A message box owned by this window (MessageBoxA with this window as owner).
  int MessageBox(const char* text, const char* caption = nullptr, UINT type = 0);

  HWND m_hWnd = nullptr;
};

class CDialog : public CWnd, private qv::ui::detail::WindowTarget {
 public:
  // `dialogTemplate` empty: the template does not exist, and DoModal returns -1 with
  // ERROR_RESOURCE_NAME_NOT_FOUND.
  CDialog(std::optional<DialogTemplate> dialogTemplate, HWND parent);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the dialog, initialises it, shows it and handles its messages until EndDialog;
  // returns the result, or -1 when the dialog cannot be created.
  INT_PTR DoModal();
  // Creates the dialog without a modal loop (it lives until DestroyWindow); FALSE on failure.
  BOOL Create(HWND parent);
  BOOL DestroyWindow();
  // Ends a modal dialog with `result` once the current handler returns.
  void EndDialog(INT_PTR result);
  UINT TemplateId() const { return template_ ? template_->id : 0; }

 protected:
  // Runs once the controls exist, before the dialog is shown. May call EndDialog. TRUE gives
  // the focus to the first enabled, visible tab stop; FALSE leaves it where the dialog put it.
  virtual BOOL OnInitDialog();
  // A command from a button (code BN_CLICKED) or posted by code. IDOK calls OnOK, IDCANCEL
  // OnCancel. Returns true when handled.
  virtual bool OnCommand(WORD id, WORD code);
  virtual void OnOK();
  virtual void OnCancel();
  // Close through the system menu or WM_CLOSE: like pressing Cancel, unless a Cancel button
  // exists and is disabled, in which case nothing happens.
  virtual void OnClose();
  virtual void OnTimer(UINT_PTR id);
  virtual LRESULT OnNotify(const NMHDR* header);
  virtual void OnDestroy();
  // Any other message (WM_SIZE, WM_CONTEXTMENU, registered messages, ...).
  virtual LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  HWND parent_ = nullptr;

 private:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void InitializeAndFocus();
  void Teardown();

  std::optional<DialogTemplate> template_;
  bool ended_ = false;
  INT_PTR result_ = IDCANCEL;
};
