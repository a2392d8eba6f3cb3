// The container conversion prompt.
#include "dialogs/CQvDBConvert.h"

#include "base/DialogResources.h"
#include "base/StringTable.h"

namespace {

constexpr UINT IDS_CONVERT_EXPLANATION = 180;
constexpr UINT IDS_CONVERT_WARNING = 181;

}  // namespace

CQvDBConvert::CQvDBConvert() : CDialog(LoadDialogTemplate(IDD_DB_CONVERT), nullptr) {}

BOOL CQvDBConvert::OnInitDialog() {
  CDialog::OnInitDialog();
  SetDlgItemText(IDC_CONVERT_TEXT, LoadStringText(IDS_CONVERT_EXPLANATION).c_str());
  SetDlgItemText(IDC_CONVERT_WARNING, LoadStringText(IDS_CONVERT_WARNING).c_str());
  GetDlgItem(IDC_CONVERT_DONT_SHOW).EnableWindow(FALSE);
  return TRUE;
}
