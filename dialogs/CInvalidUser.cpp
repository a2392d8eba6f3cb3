// The invalid-user notice: centred on its owner, with the edition's wording.
#include "dialogs/CInvalidUser.h"

#include "base/DialogResources.h"
#include "base/QvFolderExtApp.h"
#include "base/StringTable.h"
#include "base/SuiteServices.h"

namespace {

constexpr UINT IDS_NOT_AUTHORIZED_TO_VIEW = 189;

// The services normally run by the time a dialog shows; when they do not, the user-data
// object is asked directly rather than taking the edition for unknown.
bool IsSentivoEdition() {
  CUserData* userData = QvApp().userData;
  if (userData == nullptr && SuiteDrivers().getUserDataPtr(&userData) != 0) userData = nullptr;
  return userData != nullptr && userData->EditionCode == EDITION_SENTIVO;
}

}  // namespace

CInvalidUser::CInvalidUser(HWND owner) : CDialog(LoadDialogTemplate(IDD_INVALID_USER), owner) {}

BOOL CInvalidUser::OnInitDialog() {
  CDialog::OnInitDialog();
  CenterWindow();
  if (IsSentivoEdition())
    SetDlgItemText(IDC_INVALID_USER_TEXT, LoadStringText(IDS_NOT_AUTHORIZED_TO_VIEW).c_str());
  return TRUE;
}
