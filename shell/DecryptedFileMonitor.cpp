// The monitor is created the way the view creates every outside class: from the registry, for
// IUnknown first, put into its running state, and only then asked for its interface.
#include "shell/DecryptedFileMonitor.h"

#include <memory>

#include "platform/Com.h"
#include "platform/ole/Bstr.h"
#include "platform/ole/ComCreate.h"
#include "platform/ole/TextConversion.h"
#include "suite/QvMonitorApi.h"

HRESULT MonitorDecryptedFile(const DecryptedFileToMonitor& file) {
  try {
    ComPtr<IUnknown> created;
    HRESULT hr = CoCreateInstance(CLSID_QvDecryptedFileMonitor, nullptr, CLSCTX_ALL, IID_IUnknown,
                                  created.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr)) return hr;
    hr = OleRun(created.Get());
    if (FAILED(hr)) return hr;
    ComPtr<IQvDecryptedFileMonitor> monitor;
    hr = created.As(monitor);
    if (FAILED(hr)) return hr;
    const OwnedBstr container(SysAllocStringFromUtf8(file.containerPath));
    const OwnedBstr decrypted(SysAllocStringFromUtf8(file.decryptedPath));
    const OwnedBstr user(SysAllocStringFromUtf8(file.userId));
    if (!container || !decrypted || !user) return E_OUTOFMEMORY;
    return monitor->MonitorDecryptedFile(container.get(), file.window, decrypted.get(),
                                         file.lastWriteTime, file.folderId, file.fileId,
                                         user.get());
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
