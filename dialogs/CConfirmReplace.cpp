// The replace confirmation: the item's icon and display name, and the four answers.
#include "dialogs/CConfirmReplace.h"

#include <strings.h>

#include "base/DialogResources.h"
#include "platform/Utf8.h"
#include "platform/ui/Controls.h"

namespace {

// The name shown for a path: its last part, without a final ".qvf" in any case, since the
// user sees an encrypted file under the name of the file it holds.
std::string DisplayName(const char* path) {
  const CPath target(path);
  if (strcasecmp(target.GetExtension().c_str(), ".qvf") == 0) return target.GetFileName();
  return target.GetNameWithExtension();
}

}  // namespace

CConfirmReplace::CConfirmReplace(const char* targetPath, HWND owner)
    : CDialog(LoadDialogTemplate(IDD_CONFIRM_REPLACE), owner) {
  CopyUtf8Cut(m_targetPath, sizeof m_targetPath, targetPath != nullptr ? targetPath : "");
}

BOOL CConfirmReplace::OnInitDialog() {
  CDialog::OnInitDialog();
  SetDlgItemText(IDC_REPLACE_NAME, DisplayName(m_targetPath).c_str());
  // Taken after the name: the shell may write the icon's own file into the path buffer.
  WORD iconIndex = 0;
  const HICON icon = ExtractAssociatedIconA(nullptr, m_targetPath, &iconIndex);
  CStatic(::GetDlgItem(m_hWnd, IDC_REPLACE_ICON)).SetIcon(icon);
  return FALSE;
}

bool CConfirmReplace::OnCommand(WORD id, WORD code) {
  if (id == IDC_YES_TO_ALL || id == IDC_NO_TO_ALL) {
    EndDialog(id);
    return true;
  }
  return CDialog::OnCommand(id, code);
}
