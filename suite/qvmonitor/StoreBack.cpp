// The store-back of this build (see StoreBack.h for what it cannot do and why).
#include "suite/qvmonitor/StoreBack.h"

#include <sys/stat.h>

namespace qvmonitor {
namespace {

class KeepingStoreBack final : public ContainerStoreBack {
 public:
  StoreResult Store(const MonitorRequest& entry, const std::string&) override {
    struct stat st {};
    if (lstat(entry.containerPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return StoreResult::ContainerGone;
    return StoreResult::Unavailable;
  }
};

}  // namespace

std::unique_ptr<ContainerStoreBack> NewContainerStoreBack() {
  return std::make_unique<KeepingStoreBack>();
}

}  // namespace qvmonitor
