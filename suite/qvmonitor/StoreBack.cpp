// The store-back through the product's class (see StoreBack.h).
#include "suite/qvmonitor/StoreBack.h"

#include <sys/stat.h>

#include <memory>

#include "platform/Com.h"
#include "platform/ole/Bstr.h"
#include "platform/ole/ComCreate.h"
#include "platform/ole/TextConversion.h"
#include "suite/QvMonitorApi.h"

namespace qvmonitor {
namespace {

StoreResult ResultOf(HRESULT hr) {
  if (hr == S_OK) return StoreResult::Stored;
  if (hr == QV_E_CONTAINER_BUSY) return StoreResult::Busy;
  if (hr == QV_E_CONTAINER_GONE) return StoreResult::ContainerGone;
  return StoreResult::Failed;
}

class ClassStoreBack final : public ContainerStoreBack {
 public:
  StoreResult Store(const MonitorRequest& entry, const std::string& plainPath) override {
    struct stat st {};
    if (lstat(entry.containerPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return StoreResult::ContainerGone;
    // The product library stays loaded once it was: the user's verification lives in it (and
    // in the suite libraries it loaded) for the session's time, so later saves need no new one.
    ComPtr<IQvDecryptedFileStore> store;
    if (FAILED(CoCreateInstance(CLSID_QvDecryptedFileStore, nullptr, CLSCTX_INPROC_SERVER,
                                IQvDecryptedFileStore::kIid, store.ReleaseAndGetVoidAddressOf())))
      return StoreResult::Unavailable;
    const OwnedBstr container(SysAllocStringFromUtf8(entry.containerPath));
    const OwnedBstr plain(SysAllocStringFromUtf8(plainPath));
    const OwnedBstr user(SysAllocStringFromUtf8(entry.userId));
    if (!container || !plain || !user) return StoreResult::Failed;
    return ResultOf(store->StoreDecryptedFile(container.get(), plain.get(), entry.folderId,
                                              entry.fileId, user.get()));
  }
};

}  // namespace

std::unique_ptr<ContainerStoreBack> NewContainerStoreBack() {
  return std::make_unique<ClassStoreBack>();
}

}  // namespace qvmonitor
