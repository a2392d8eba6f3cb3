// The sharing add/remove error notice: its template says everything.
#include "sharing/CAddError.h"

#include "core/DialogResources.h"

CAddError::CAddError(HWND owner) : CDialog(LoadDialogTemplate(IDD_ADD_ERROR), owner) {}
