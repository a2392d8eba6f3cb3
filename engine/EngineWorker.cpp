// The worker thread and the wait of the dialog thread (see EngineWorker.h). The state the
// two threads share is atomic: the worker stores the result, then the done flag; the dialog
// thread reads the done flag, then the result.
#include "engine/EngineWorker.h"

#include <utility>

#include "base/ItemStatus.h"
#include "platform/Handles.h"
#include "platform/Sync.h"
#include "platform/ui/WindowApi.h"

DWORD StartedCall::Main(LPVOID self) {
  auto* started = static_cast<StartedCall*>(self);
  DWORD result = StatusFileAccessError;
  try {
    result = started->call_();
  } catch (...) {
    result = StatusMemoryError;
  }
  started->result_.store(result, std::memory_order_release);
  started->done_.store(true, std::memory_order_release);
  return 0;
}

StartedCall::~StartedCall() {
  if (thread_.Valid()) (void)WaitForSingleObject(thread_.Get(), INFINITE);
}

bool StartedCall::Start(std::function<DWORD()> call) {
  if (thread_.Valid()) return false;
  call_ = std::move(call);
  result_.store(static_cast<DWORD>(-1));
  done_.store(false);
  thread_.Reset(CreateThread(nullptr, 0, Main, this, 0, nullptr));
  return thread_.Valid();
}

DWORD StartedCall::Finish(HWND dialog, const std::atomic<DWORD>& cancelFlag) {
  if (!thread_.Valid()) return StatusMemoryError;
  const HANDLE thread = thread_.Get();
  bool quit = false;
  int quitCode = 0;
  while (!done_.load(std::memory_order_acquire)) {
    const DWORD woke = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_OBJECT_0 + 1) {
      // After WM_QUIT only the worker is waited for: the queue is left to the caller.
      if (!quit && !PumpWaitingMessages(dialog, &quitCode)) quit = true;
      if (!quit) continue;
    }
    // A failed wait or a pending quit: wait for the worker alone.
    (void)WaitForSingleObject(thread, INFINITE);
    break;
  }
  // The handle is signalled only once the routine has returned, so nothing here is used by
  // the worker any more.
  (void)WaitForSingleObject(thread, INFINITE);
  thread_.Reset();
  if (quit) PostQuitMessage(quitCode);
  const DWORD result = result_.load(std::memory_order_acquire);
  return cancelFlag.load() != 0 ? static_cast<DWORD>(StatusCancelled) : result;
}

DWORD RunOnWorker(const std::function<DWORD()>& call, HWND dialog,
                  const std::atomic<DWORD>& cancelFlag) {
  StartedCall started;
  if (!started.Start(call)) return StatusMemoryError;
  return started.Finish(dialog, cancelFlag);
}
