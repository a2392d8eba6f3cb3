// The suite's password dialog (see PasswordDialog.h).
#include "suite/qvverify/PasswordDialog.h"

#include "platform/SecureMemory.h"
#include "platform/ui/WindowApi.h"

namespace {

ControlTemplate Text(int id, std::string text) {
  ControlTemplate control;
  control.id = id;
  control.kind = ControlKind::Static;
  control.text = std::move(text);
  return control;
}

ControlTemplate PasswordField(int id) {
  ControlTemplate control;
  control.id = id;
  control.kind = ControlKind::Edit;
  control.style = WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_PASSWORD;
  return control;
}

ControlTemplate Button(int id, std::string text, bool isDefault) {
  ControlTemplate control;
  control.id = id;
  control.kind = ControlKind::Button;
  control.text = std::move(text);
  control.style = WS_VISIBLE | WS_TABSTOP | (isDefault ? BS_DEFPUSHBUTTON : 0);
  return control;
}

}  // namespace

CPasswordDlg::CPasswordDlg(const QvPasswordQuestion& question)
    : CDialog(MakeTemplate(question), nullptr), question_(question) {}

CPasswordDlg::~CPasswordDlg() { QvWipe(password_); }

DialogTemplate CPasswordDlg::MakeTemplate(const QvPasswordQuestion& question) {
  DialogTemplate dialog;
  dialog.id = question.choose ? kNewPasswordDialogId : kPasswordDialogId;
  dialog.width = 240;
  dialog.height = question.choose ? 110 : 90;
  dialog.caption = question.title.empty() ? std::string("Password") : question.title;
  dialog.controls.push_back(Text(kPasswordPromptId, question.prompt));
  if (!question.account.empty())
    dialog.controls.push_back(Text(kPasswordAccountId, "User: " + question.account));
  // A text right before a field is its label.
  dialog.controls.push_back(Text(IDC_STATIC, question.choose ? "New password:" : "Password:"));
  dialog.controls.push_back(PasswordField(kPasswordEditId));
  if (question.choose) {
    dialog.controls.push_back(Text(IDC_STATIC, "Type it again:"));
    dialog.controls.push_back(PasswordField(kPasswordConfirmId));
  }
  dialog.controls.push_back(Button(IDOK, "OK", true));
  dialog.controls.push_back(Button(IDCANCEL, "Cancel", false));
  return dialog;
}

BOOL CPasswordDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  GetDlgItem(kPasswordEditId).SetFocus();
  return FALSE;
}

void CPasswordDlg::OnOK() {
  std::string typed = GetDlgItemText(kPasswordEditId);
  if (question_.choose) {
    std::string again = GetDlgItemText(kPasswordConfirmId);
    const bool empty = typed.empty();
    const bool same = typed == again;
    QvWipe(again);
    if (empty || !same) {
      QvWipe(typed);
      SetDlgItemText(kPasswordEditId, "");
      SetDlgItemText(kPasswordConfirmId, "");
      MessageBox(empty ? "The password must not be empty."
                       : "The two passwords do not match. Type the same password twice.",
                 question_.title.c_str(), MB_OK | MB_ICONERROR);
      return;  // the dialog stays open for another try
    }
  }
  QvWipe(password_);
  password_ = std::move(typed);
  CDialog::OnOK();
}
