// The prompt to convert a container made by an older version before it can be opened or
// decrypted: Convert (IDOK) or Cancel (IDCANCEL).
#pragma once

#include "platform/ui/Dialog.h"

class CQvDBConvert : public CDialog {
 public:
  // The prompt has no owner: it shows before any view of the container exists.
  CQvDBConvert();

  // Asks whether to convert; when the user declines, says that the folder cannot be opened
  // until it is converted. True when the user chose Convert.
  [[nodiscard]] static bool AskToConvert();

 protected:
  // Explains the conversion and its consequence; the "do not show again" box stays greyed.
  BOOL OnInitDialog() override;
};
