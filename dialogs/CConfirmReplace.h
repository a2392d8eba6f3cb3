// The question whether an existing file or folder may be replaced: Yes, No, Yes To All or
// No To All, with the item's shell icon and its name as the user knows it (an encrypted file
// without its ".qvf").
#pragma once

#include "platform/ui/Dialog.h"
#include "util/CPath.h"

class CConfirmReplace : public CDialog {
 public:
  // `targetPath` is copied (cut at the path buffer, whole characters only); null is empty.
  explicit CConfirmReplace(const char* targetPath, HWND owner = nullptr);

 protected:
  // Leaves the focus where it is.
  BOOL OnInitDialog() override;
  // Yes To All and No To All end the dialog with their id, as Yes (IDOK) and No (IDCANCEL) do.
  bool OnCommand(WORD id, WORD code) override;

 private:
  char m_targetPath[CPath::kBufferSize];
};
