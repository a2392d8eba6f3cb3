// The notice that adding users to or removing users from a sharing list went wrong.
#pragma once

#include "platform/ui/Dialog.h"

class CAddError : public CDialog {
 public:
  explicit CAddError(HWND owner = nullptr);
};
