// The suite's password dialog: a dialog template built here (caption, prompt, the account,
// one password field or two when a new password is chosen, OK and Cancel) and the class that
// runs it. The template and control ids are in suite/QvDialogIds.h, where the product's tests
// find them too.
#pragma once

#include <string>

#include "platform/ui/Dialog.h"
#include "suite/QvDialogIds.h"
#include "suite/qvverify/PasswordQuestion.h"

class CPasswordDlg : public CDialog {
 public:
  explicit CPasswordDlg(const QvPasswordQuestion& question);
  ~CPasswordDlg() override;

  static DialogTemplate MakeTemplate(const QvPasswordQuestion& question);

  // The password typed, after DoModal returned IDOK; the caller moves it out and wipes it.
  std::string& Password() { return password_; }

 protected:
  BOOL OnInitDialog() override;
  void OnOK() override;

 private:
  QvPasswordQuestion question_;
  std::string password_;
};
