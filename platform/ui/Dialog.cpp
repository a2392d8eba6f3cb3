// CWnd and CDialog: the modal loop, message dispatch to the handlers, and teardown.
#include "platform/ui/Dialog.h"

#include <vector>

#include "platform/LastError.h"
#include "platform/MessageBox.h"
#include "platform/ui/Backend.h"

using namespace qv::ui::detail;

std::string CWnd::GetWindowText() const {
  const int length = GetWindowTextLengthA(m_hWnd);
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
  GetWindowTextA(m_hWnd, buffer.data(), length + 1);
  return buffer.data();
}

std::string CWnd::GetDlgItemText(int id) const { return GetDlgItem(id).GetWindowText(); }

void CWnd::SetIcon(HICON icon, BOOL) {
  const std::string name = QvIconName(icon);
  ModifyDialog(m_hWnd, [&](DialogState& state, ControlChange&) {
    state.icon = name;
    return false;
  });
}

void CWnd::EnableCloseItem(bool enable) {
  EnableMenuItem(GetSystemMenu(m_hWnd, FALSE), SC_CLOSE,
                 MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

int CWnd::MessageBox(const char* text, const char* caption, UINT type) {
  return MessageBoxA(m_hWnd, text, caption, type);
}

CDialog::CDialog(std::optional<DialogTemplate> dialogTemplate, HWND parent)
    : parent_(parent), template_(std::move(dialogTemplate)) {}

CDialog::~CDialog() {
  if (m_hWnd != nullptr) Teardown();
}

INT_PTR CDialog::DoModal() {
  if (!template_) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (m_hWnd != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  m_hWnd = CreateDialogWindow(*template_, parent_, this, true);
  if (m_hWnd == nullptr) return -1;
  ended_ = false;
  result_ = IDCANCEL;
  InitializeAndFocus();
  if (!ended_) ShowWindow(SW_SHOW);
  while (!ended_) {
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        // Leave the quit request for the loop that owns the thread.
        PostQuitMessage(static_cast<int>(msg.wParam));
        EndDialog(IDCANCEL);
        break;
      }
      if (!IsDialogMessageA(m_hWnd, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      }
      continue;
    }
    if (BackendActs(m_hWnd)) continue;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
  }
  const INT_PTR result = result_;
  BackendDialogClosed(m_hWnd, result);
  Teardown();
  return result;
}

BOOL CDialog::Create(HWND parent) {
  if (!template_) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return FALSE;
  }
  if (m_hWnd != nullptr) return FALSE;
  parent_ = parent;
  m_hWnd = CreateDialogWindow(*template_, parent_, this, false);
  if (m_hWnd == nullptr) return FALSE;
  InitializeAndFocus();
  return TRUE;
}

BOOL CDialog::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  Teardown();
  return TRUE;
}

void CDialog::InitializeAndFocus() {
  // As on Windows: wParam names the first enabled, visible tab stop, and an initialisation
  // that returns non-zero gives it the focus; zero means the dialog placed the focus itself.
  HWND first = nullptr;
  ReadDialog(m_hWnd, [&](const DialogState& state) {
    for (const ControlState& control : state.controls) {
      if ((control.style & WS_TABSTOP) != 0 && control.enabled && control.visible) {
        first = control.hwnd;
        break;
      }
    }
  });
  if (SendMessageA(m_hWnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), 0) != 0 &&
      first != nullptr)
    ::SetFocus(first);
}

void CDialog::Teardown() {
  OnDestroy();
  DestroyUiWindow(m_hWnd);
  m_hWnd = nullptr;
}

void CDialog::EndDialog(INT_PTR result) {
  result_ = result;
  ended_ = true;
}

BOOL CDialog::OnInitDialog() { return TRUE; }

bool CDialog::OnCommand(WORD id, WORD) {
  if (id == IDOK) {
    OnOK();
    return true;
  }
  if (id == IDCANCEL) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialog::OnOK() { EndDialog(IDOK); }
void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::OnClose() {
  const CWnd cancel = GetDlgItem(IDCANCEL);
  if (cancel && !cancel.IsWindowEnabled()) return;
  OnCommand(IDCANCEL, BN_CLICKED);
}

void CDialog::OnTimer(UINT_PTR) {}
LRESULT CDialog::OnNotify(const NMHDR*) { return 0; }
void CDialog::OnDestroy() {}
LRESULT CDialog::OnMessage(UINT, WPARAM, LPARAM) { return 0; }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_SYSCOMMAND: {
      bool closeEnabled = false;
      ReadDialog(m_hWnd, [&](const DialogState& s) { closeEnabled = s.closeEnabled; });
      if ((wParam & 0xFFF0) == SC_CLOSE && closeEnabled) OnClose();
      return 0;
    }
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_TIMER:
      OnTimer(wParam);
      return 0;
    case WM_NOTIFY:
      return lParam != 0 ? OnNotify(reinterpret_cast<const NMHDR*>(lParam)) : 0;
    case WM_DESTROY:
      return 0;
    case WM_QV_ENDDIALOG:
      EndDialog(static_cast<INT_PTR>(wParam));
      return 0;
    default:
      return OnMessage(message, wParam, lParam);
  }
}
