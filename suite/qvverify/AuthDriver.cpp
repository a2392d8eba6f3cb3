// libqvverify.so, first stage: the authentication driver's start and stop as the module
// core calls them. Verification itself is built with the suite libraries.
#include <atomic>

#include "suite/QvUserApi.h"

namespace {
std::atomic<int> g_openCount{0};
}

DWORD InitAuthDriver(HMODULE module) {
  if (module == nullptr) return ERROR_INVALID_PARAMETER;
  ++g_openCount;
  return ERROR_SUCCESS;
}

void CloseAuthDriver() {
  if (g_openCount > 0) --g_openCount;
}

BOOL AuthClipToImage(const char*, LONG* width, LONG* height) {
  if (width == nullptr || height == nullptr) return FALSE;
  // The sharing page's frame: 550 by 500.
  *width = 550;
  *height = 500;
  return TRUE;
}
