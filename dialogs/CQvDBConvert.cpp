// The container conversion prompt.
#include "dialogs/CQvDBConvert.h"

#include "base/DialogResources.h"
#include "base/StringTable.h"
#include "platform/MessageBox.h"

namespace {

constexpr UINT IDS_CONVERT_EXPLANATION = 180;
constexpr UINT IDS_CONVERT_WARNING = 181;
// "Conversion to the new format has been cancelled by the user. ..."
constexpr UINT IDS_CONVERSION_CANCELLED = 186;
constexpr const char* kCancelledCaption = "Quorvin";

}  // namespace

CQvDBConvert::CQvDBConvert() : CDialog(LoadDialogTemplate(IDD_DB_CONVERT), nullptr) {}

BOOL CQvDBConvert::OnInitDialog() {
  CDialog::OnInitDialog();
  SetDlgItemText(IDC_CONVERT_TEXT, LoadStringText(IDS_CONVERT_EXPLANATION).c_str());
  SetDlgItemText(IDC_CONVERT_WARNING, LoadStringText(IDS_CONVERT_WARNING).c_str());
  GetDlgItem(IDC_CONVERT_DONT_SHOW).EnableWindow(FALSE);
  return TRUE;
}

bool CQvDBConvert::AskToConvert() {
  // The prompt has no owner, whichever thread meets the container.
  CQvDBConvert prompt;
  if (prompt.DoModal() == IDOK) return true;
  (void)MessageBoxA(nullptr, LoadStringText(IDS_CONVERSION_CANCELLED).c_str(), kCancelledCaption,
                    MB_OK | MB_ICONERROR);
  return false;
}
