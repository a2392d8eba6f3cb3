// The backup warning: product name in the caption, the "do not show again" answer on OK.
#include "dialogs/CWarnDlg.h"

#include <cstdio>
#include <vector>

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "platform/Utf8.h"

namespace {

constexpr UINT IDS_WARNING_CAPTION = 174;  // "%s": the product name
constexpr size_t kCaptionSize = 1024;

}  // namespace

CWarnDlg::CWarnDlg(HWND owner) : CDialog(LoadDialogTemplate(IDD_BACKUP_WARNING), owner) {}

BOOL CWarnDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // The string-table compiler lets only %s, %d and %u into texts and makes every translation
  // keep the English conversions, so the format takes exactly the one name passed.
  const std::string format = LoadStringText(IDS_WARNING_CAPTION);
  // The name the library read when it was loaded, as every other caption shows it.
  const std::string& product = QvApp().productName;
  const int length = std::snprintf(nullptr, 0, format.c_str(), product.c_str());
  std::vector<char> formatted(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
  if (length > 0)
    std::snprintf(formatted.data(), formatted.size(), format.c_str(), product.c_str());
  // Cut at the caption buffer on a whole character.
  char caption[kCaptionSize];
  CopyUtf8Cut(caption, sizeof caption, formatted.data());
  SetWindowText(caption);
  return TRUE;
}

void CWarnDlg::OnOK() {
  m_doNotShowAgain = IsDlgButtonChecked(IDC_WARNING_DONT_SHOW) == BST_CHECKED ? 1 : 0;
  CDialog::OnOK();
}
