// libqvvault.so, first stage: the storage driver's start and stop as the module core calls
// them. The store they open is built with the suite libraries.
#include <atomic>

#include "suite/QvUserApi.h"

namespace {
std::atomic<int> g_openCount{0};
}

DWORD InitStorageDriver(HMODULE module) {
  if (module == nullptr) return ERROR_INVALID_PARAMETER;
  ++g_openCount;
  return ERROR_SUCCESS;
}

void CloseStorageDriver() {
  if (g_openCount > 0) --g_openCount;
}
