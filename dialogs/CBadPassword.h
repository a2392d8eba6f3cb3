// The authentication error: the user could not be verified, either because the credentials
// were not validated or because the security devices the verification needs are missing.
#pragma once

#include "platform/ui/Dialog.h"

class CBadPassword : public CDialog {
 public:
  // `reasonFlag` non-zero: the credentials were not validated; 0: the devices are missing.
  explicit CBadPassword(DWORD reasonFlag, HWND owner = nullptr);

 protected:
  BOOL OnInitDialog() override;

 private:
  DWORD m_reasonFlag;
};
