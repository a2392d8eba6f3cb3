// The sharing add/remove error notice: its template says everything.
#include "dialogs/CAddError.h"

#include "base/DialogResources.h"

CAddError::CAddError(HWND owner) : CDialog(LoadDialogTemplate(IDD_ADD_ERROR), owner) {}
