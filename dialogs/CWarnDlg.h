// The warning to decrypt and back up every encrypted file before uninstalling, reformatting
// or replacing the disk, with a box to stop showing it.
#pragma once

#include "platform/ui/Dialog.h"

class CWarnDlg : public CDialog {
 public:
  explicit CWarnDlg(HWND owner = nullptr);

  // 1 when the user ticked "Do not show this warning again" and pressed OK; 0 otherwise,
  // also when the dialog was closed without OK.
  DWORD m_doNotShowAgain = 0;

 protected:
  // The caption names the product by the name the library read when it was loaded.
  BOOL OnInitDialog() override;
  void OnOK() override;
};
