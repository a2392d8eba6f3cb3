// CQvDecryptedFileStore: the class through which the suite's decrypted-file monitor stores a
// save made in a file the view opened back into its container entry (see suite/QvMonitorApi.h).
// It lives with the product because only the product's container store may change a container:
// each image is bound to its place under the folder key, and the list of the container's files
// is kept under that key in the same transaction.
#pragma once

#include "platform/Com.h"
#include "suite/QvMonitorApi.h"

class CQvDecryptedFileStore final : public ComObject<IQvDecryptedFileStore> {
 public:
  explicit CQvDecryptedFileStore(ComModule* module);
  [[nodiscard]] static HRESULT CreateInstance(REFIID riid, void** ppv, ComModule* module) noexcept;

  HRESULT StoreDecryptedFile(BSTR containerPath, BSTR plainPath, DWORD folderId, DWORD fileId,
                             BSTR userId) override;
};
