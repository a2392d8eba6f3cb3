// qvclient start, stop and status: the suite-running mutex and the client's window.
//
// The extension tests for the mutex to learn whether the suite runs; `status` tests it the same
// way. In the Sentivo edition the extension also posts the "EnableDisableQAF" message to the
// suite's message window "MsgWnd" before (wParam 0) and after (wParam 1) it verifies a user, so
// there the client's window is that one; the other edition has no such window, and the client
// makes a window of its own that the extension never looks for. `stop` posts WM_CLOSE to the
// client's window.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Owned.h"
#include "platform/Window.h"
#include "platform/ui/UiTypes.h"
#include "suite/QvUserApi.h"
#include "suite/qvclient/ClientCommands.h"
#include "suite/qvprofile/UserSession.h"
#include "suite/qvverify/SuiteProgram.h"

namespace {

constexpr const char* kSentivoWindowClass = "Sentivoapp-5B27E9C4-1D83-4F6A-B0E5-72C1A9D4F386";
constexpr const char* kSentivoWindowTitle = "MsgWnd";
constexpr const char* kClientWindowClass = "QuorvinClient";
constexpr const char* kClientWindowTitle = "qvclient";
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

// The edition of the installation; the standard edition while there is no store (as the
// extension reads it while the suite services do not run).
DWORD InstalledEdition() {
  if (!MissingUserStore().empty()) return 0;
  QvUserStore* store = QvSharedUserStore();
  DWORD edition = 0;
  if (store == nullptr || store->GetEdition(&edition) != QvStoreStatus::Ok) return 0;
  return edition;
}

// The window of a running client, whichever edition it runs in; null when none runs.
HWND FindClientWindow() {
  if (HWND window = FindWindowA(kSentivoWindowClass, kSentivoWindowTitle)) return window;
  return FindWindowA(kClientWindowClass, kClientWindowTitle);
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

  const OwnedHandle mutex(CreateMutexA(nullptr, TRUE, mutexName.c_str()));
  if (!mutex.Valid())
    return ClientFailure(kClientStore, "cannot create the suite-running mutex " + mutexName);
  if (GetLastError() == ERROR_ALREADY_EXISTS)
    return ClientFailure(kClientNotFound,
                         "the suite is running already (stop it with 'qvclient stop')");
  // Taken at creation; released before the handle is closed.
  const HeldMutex running(mutex.Get());
  const bool sentivo = edition == EDITION_SENTIVO;
  HWND window = CreateMessageWindow(sentivo ? kSentivoWindowClass : kClientWindowClass,
                                    sentivo ? kSentivoWindowTitle : kClientWindowTitle);
  if (window == nullptr) return ClientFailure(kClientStore, "cannot create the message window");
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
  std::printf("The suite has stopped.\n");
  return code;
}

int StopClient() {
  HWND window = FindClientWindow();
  if (window == nullptr) {
    if (SuiteIsRunning(InstalledEdition()))
      return ClientFailure(kClientNotFound,
                           "the suite runs, but not as 'qvclient start': stop the program that "
                           "started it");
    return ClientFailure(kClientNotFound, "the suite is not running");
  }
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

bool SuiteIsRunning(DWORD edition) {
  // Tested as the extension tests it: creating the mutex as its owner tells whether it existed,
  // and a mutex this test created is given up at once. A mutex that cannot be created at all
  // counts as not running, for the extension as here.
  const OwnedHandle mutex(CreateMutexA(nullptr, TRUE, SuiteMutexName(edition).c_str()));
  if (!mutex.Valid()) return false;
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!existed) (void)ReleaseMutex(mutex.Get());
  return existed;
}

int ClientStatus() {
  if (!SuiteIsRunning(InstalledEdition())) {
    std::printf("The suite is not running.\n");
    return kClientNotFound;
  }
  std::printf("The suite is running.\n");
  return kClientDone;
}
