// The notice that the user may not view, decrypt or change the sharing of an encrypted item.
// The Sentivo edition words it without the sharing properties.
#pragma once

#include "platform/ui/Dialog.h"

class CInvalidUser : public CDialog {
 public:
  explicit CInvalidUser(HWND owner = nullptr);

 protected:
  BOOL OnInitDialog() override;
};
