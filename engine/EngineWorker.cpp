// The worker thread and the wait of the dialog thread (see EngineWorker.h). The state the
// two threads share is atomic: the worker stores the result, then the done flag; the dialog
// thread reads the done flag, then the result.
#include "engine/EngineWorker.h"

#include "core/ItemStatus.h"
#include "platform/Handles.h"
#include "platform/Sync.h"
#include "platform/ui/WindowApi.h"

namespace {

struct WorkerCall {
  const std::function<DWORD()>* call = nullptr;
  std::atomic<DWORD> result{static_cast<DWORD>(-1)};
  std::atomic<bool> done{false};
};

DWORD WorkerMain(LPVOID parameter) {
  auto* work = static_cast<WorkerCall*>(parameter);
  DWORD result = StatusFileAccessError;
  try {
    result = (*work->call)();
  } catch (...) {
    result = StatusMemoryError;
  }
  work->result.store(result, std::memory_order_release);
  work->done.store(true, std::memory_order_release);
  return 0;
}

}  // namespace

bool DrainMessages(HWND dialog, int* quitCode) {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      if (quitCode != nullptr) *quitCode = static_cast<int>(msg.wParam);
      return false;
    }
    if (dialog != nullptr && IsDialogMessageA(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return true;
}

DWORD RunOnWorker(const std::function<DWORD()>& call, HWND dialog,
                  const std::atomic<DWORD>& cancelFlag) {
  WorkerCall work;
  work.call = &call;
  const HANDLE thread = CreateThread(nullptr, 0, WorkerMain, &work, 0, nullptr);
  if (thread == nullptr) return StatusMemoryError;
  bool quit = false;
  int quitCode = 0;
  while (!work.done.load(std::memory_order_acquire)) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      // After WM_QUIT only the worker is waited for: the queue is left to the caller.
      if (!quit && !DrainMessages(dialog, &quitCode)) quit = true;
      if (!quit) continue;
    }
    // A failed wait or a pending quit: wait for the worker alone.
    (void)WaitForSingleObject(thread, INFINITE);
    break;
  }
  // The handle is signalled only once the routine has returned, so `work` is no longer used.
  (void)WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (quit) PostQuitMessage(quitCode);
  const DWORD result = work.result.load(std::memory_order_acquire);
  return cancelFlag.load() != 0 ? static_cast<DWORD>(StatusCancelled) : result;
}
