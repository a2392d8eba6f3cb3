// qvclient start, stop and status: the suite-running mutex and the message window "MsgWnd".
//
// The extension tests for the mutex to learn whether the suite runs, and posts the
// "EnableDisableQAF" message to the window before (wParam 0) and after (wParam 1) it verifies
// a user. `stop` posts WM_CLOSE to the window.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Window.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvUserApi.h"
#include "suite/qvclient/ClientCommands.h"
#include "suite/qvprofile/UserSession.h"

namespace {

constexpr const char* kWindowClass = "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";
constexpr const char* kWindowTitle = "MsgWnd";
constexpr DWORD kPollMs = 200;
constexpr DWORD kStopWaitMs = 10000;

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int) { g_stopSignal = 1; }

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

std::string SuiteMutexName(DWORD edition) {
  return edition == EDITION_SENTIVO ? "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386"
                                    : "QuorvinMutex";
}

int RunClient() {
  std::string error;
  QvUserStore* store = QvSharedUserStore(&error);
  if (store == nullptr) return ClientFailure(kClientStore, "cannot open the user store: " + error);
  DWORD edition = 0;
  if (store->GetEdition(&edition) != QvStoreStatus::Ok)
    return ClientFailure(kClientStore, "cannot read the edition: " + store->LastError());
  const std::string mutexName = SuiteMutexName(edition);

  HANDLE mutex = CreateMutexA(nullptr, TRUE, mutexName.c_str());
  if (mutex == nullptr)
    return ClientFailure(kClientStore, "cannot create the suite-running mutex " + mutexName);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return ClientFailure(kClientNotFound,
                         "the suite is running already (stop it with 'qvclient stop')");
  }
  HWND window = CreateMessageWindow(kWindowClass, kWindowTitle);
  if (window == nullptr) {
    (void)ReleaseMutex(mutex);
    CloseHandle(mutex);
    return ClientFailure(kClientStore, "cannot create the message window");
  }
  const UINT qafMessage = RegisterWindowMessageA("EnableDisableQAF");
  CatchStopSignals();
  std::printf("The suite is running (process %ld, %s). Stop it with 'qvclient stop' or Ctrl+C.\n",
              static_cast<long>(getpid()), mutexName.c_str());
  std::fflush(stdout);

  int code = kClientDone;
  while (g_stopSignal == 0) {
    MSG message{};
    if (!ReceiveWindowMessage(window, &message, kPollMs)) {
      if (GetLastError() == ERROR_TIMEOUT) continue;
      code = ClientFailure(kClientStore, "the message window stopped working");
      break;
    }
    if (message.message == WM_CLOSE) {
      std::printf("Stop requested.\n");
      break;
    }
    if (qafMessage != 0 && message.message == qafMessage) {
      std::printf(message.wParam == 0 ? "A verification started.\n" : "A verification ended.\n");
      std::fflush(stdout);
    }
  }
  DestroyWindow(window);
  (void)ReleaseMutex(mutex);
  CloseHandle(mutex);
  std::printf("The suite has stopped.\n");
  return code;
}

int StopClient() {
  HWND window = FindWindowA(kWindowClass, kWindowTitle);
  if (window == nullptr) return ClientFailure(kClientNotFound, "the suite is not running");
  if (!PostMessageA(window, WM_CLOSE, 0, 0))
    return ClientFailure(kClientStore, "cannot reach the running client");
  const ULONGLONG deadline = GetTickCount64() + kStopWaitMs;
  while (IsWindow(window)) {
    if (GetTickCount64() >= deadline)
      return ClientFailure(kClientStore, "the client did not stop within 10 seconds");
    Sleep(50);
  }
  std::printf("The suite has stopped.\n");
  return kClientDone;
}

int ClientStatus() {
  HWND window = FindWindowA(kWindowClass, kWindowTitle);
  if (window == nullptr) {
    std::printf("The suite is not running.\n");
    return kClientNotFound;
  }
  std::printf("The suite is running.\n");
  return kClientDone;
}
