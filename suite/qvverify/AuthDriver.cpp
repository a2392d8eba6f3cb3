// libqvverify.so: the authentication driver's start and stop, and the page-shaping stand-in.
// Starting the driver connects the user-data object to password verification; stopping it
// the last time disconnects it. The process's session is not ended by a stop: the extension
// stops the suite services at the end of every operation, and the user stays logged on
// between the operations of one process until the session's time-out (the user-data library
// ends it then, and wipes the master key).
#include <mutex>

#include "suite/QvUserApi.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvverify/Verification.h"

namespace {

std::mutex g_lock;
int g_openCount = 0;

DWORD VerifyHook(const QvVerifyRequest& request, DWORD* outWord) {
  try {
    return QvRunVerification(request, outWord);
  } catch (...) {
    if (outWord != nullptr) *outWord = kVerifyOutNoInput;
    return kVerifyDevicesMissing;
  }
}

int AskPasswordHook(const char* title, const char* prompt, std::string* password) {
  try {
    return QvAskOtherPassword(title, prompt, password);
  } catch (...) {
    return -1;
  }
}

const QvAuthHooks g_hooks{&VerifyHook, &AskPasswordHook};

}  // namespace

DWORD InitAuthDriver(HMODULE module) {
  if (module == nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_openCount++ == 0) QvSetAuthHooks(&g_hooks);
  return ERROR_SUCCESS;
}

void CloseAuthDriver() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_openCount == 0) return;
  if (--g_openCount == 0) QvSetAuthHooks(nullptr);
}

BOOL AuthClipToImage(const char*, LONG* width, LONG* height) {
  if (width == nullptr || height == nullptr) return FALSE;
  // The sharing page's frame: 550 by 500.
  *width = 550;
  *height = 500;
  return TRUE;
}
