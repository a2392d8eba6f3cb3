// libqvvault.so: the storage driver. Starting it opens the user store of this machine (so a
// store that cannot be opened or is not a user store stops the suite services from starting);
// stopping it the last time closes the connection, which the next use opens again.
#include <mutex>

#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"

namespace {
std::mutex g_lock;
int g_openCount = 0;
}  // namespace

DWORD InitStorageDriver(HMODULE module) {
  if (module == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_lock);
  if (QvSharedUserStore() == nullptr) return ERROR_CANTOPEN;
  ++g_openCount;
  return ERROR_SUCCESS;
}

void CloseStorageDriver() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_openCount == 0) return;
  if (--g_openCount == 0) QvCloseSharedUserStore();
}
