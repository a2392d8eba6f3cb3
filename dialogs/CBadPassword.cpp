// The authentication error with the text of its reason.
#include "dialogs/CBadPassword.h"

#include "base/DialogResources.h"
#include "base/StringTable.h"

namespace {

constexpr UINT IDS_CREDENTIALS_NOT_VALIDATED = 165;
constexpr UINT IDS_DEVICES_MISSING = 166;

}  // namespace

CBadPassword::CBadPassword(DWORD reasonFlag, HWND owner)
    : CDialog(LoadDialogTemplate(IDD_BAD_PASSWORD), owner), m_reasonFlag(reasonFlag) {}

BOOL CBadPassword::OnInitDialog() {
  CDialog::OnInitDialog();
  const UINT text = m_reasonFlag != 0 ? IDS_CREDENTIALS_NOT_VALIDATED : IDS_DEVICES_MISSING;
  SetDlgItemText(IDC_BAD_PASSWORD_TEXT, LoadStringText(text).c_str());
  return TRUE;
}
