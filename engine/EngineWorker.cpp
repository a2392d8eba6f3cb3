// The worker thread and the wait of the dialog thread (see EngineWorker.h). The state the
// two threads share is atomic: the worker stores the result, then the done flag; the dialog
// thread reads the done flag, then the result.
#include "engine/EngineWorker.h"

#include <thread>
#include <utility>

#include "base/ItemStatus.h"
#include "platform/Handles.h"
#include "platform/Sync.h"
#include "platform/ui/WindowApi.h"

DWORD StartedCall::Main(LPVOID self) {
  auto* started = static_cast<StartedCall*>(self);
  for (;;) {
    if (WaitForSingleObject(started->callReady_.Get(), INFINITE) != WAIT_OBJECT_0 ||
        started->stop_.load(std::memory_order_acquire))
      return 0;
    DWORD result = StatusFileAccessError;
    try {
      result = started->call_();
    } catch (...) {
      result = StatusMemoryError;
    }
    started->result_.store(result, std::memory_order_release);
    started->done_.store(true, std::memory_order_release);
    (void)SetEvent(started->callDone_.Get());
  }
}

StartedCall::~StartedCall() {
  if (!thread_.Valid()) return;
  if (running_)
    while (!done_.load(std::memory_order_acquire))
      (void)WaitForSingleObject(callDone_.Get(), INFINITE);
  stop_.store(true, std::memory_order_release);
  (void)SetEvent(callReady_.Get());
  (void)WaitForSingleObject(thread_.Get(), INFINITE);
}

bool StartedCall::Start(std::function<DWORD()> call) {
  if (running_) return false;
  if (!thread_.Valid()) {
    callReady_.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    callDone_.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!callReady_.Valid() || !callDone_.Valid()) return false;
    thread_.Reset(CreateThread(nullptr, 0, Main, this, 0, nullptr));
    if (!thread_.Valid()) return false;
  }
  call_ = std::move(call);
  result_.store(static_cast<DWORD>(-1));
  done_.store(false);
  running_ = SetEvent(callReady_.Get()) != FALSE;
  return running_;
}

DWORD StartedCall::Finish(HWND dialog, const std::atomic<DWORD>& cancelFlag) {
  if (!running_) return StatusMemoryError;
  const HANDLE callDone = callDone_.Get();
  bool quit = false;
  // After WM_QUIT, or when the wait for messages fails, only the worker is waited for: the
  // queue is left to the caller.
  bool waitAlone = false;
  int quitCode = 0;
  while (!done_.load(std::memory_order_acquire)) {
    const DWORD woke = waitAlone
                           ? WaitForSingleObject(callDone, INFINITE)
                           : MsgWaitForMultipleObjects(1, &callDone, FALSE, INFINITE, QS_ALLINPUT);
    if (woke == WAIT_FAILED) {
      // Not expected (the handle lives as long as this object); never spin on it.
      waitAlone = true;
      std::this_thread::yield();
    } else if (!waitAlone && woke == WAIT_OBJECT_0 + 1 && !PumpWaitingMessages(dialog, &quitCode)) {
      quit = waitAlone = true;
    }
  }
  running_ = false;
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
