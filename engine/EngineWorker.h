// How the engine runs a call into the file-encryption library: on a short-lived worker
// thread of its own, while the dialog thread keeps handling its window messages so that the
// progress dialog stays responsive and Cancel can be pressed. The dialog thread blocks on
// "a message arrived or the worker ended" and never spins.
#pragma once

#include <atomic>
#include <functional>

#include "platform/Owned.h"
#include "platform/WinTypes.h"

// Runs `call` on a new thread and returns its result once the thread has ended, handling the
// calling thread's messages meanwhile (for `dialog`, when given, first). A `cancelFlag` that
// is set when the call returns makes the result StatusCancelled (the library may have
// stopped early or not). StatusMemoryError when no thread can be started; the call is then
// not made. A WM_QUIT met while waiting is posted again after the call ends.
//
// `call` runs on the worker: it may touch only what it was given and the library; the
// record it fills must outlive this function, which it does since this function waits.
[[nodiscard]] DWORD RunOnWorker(const std::function<DWORD()>& call, HWND dialog,
                                const std::atomic<DWORD>& cancelFlag);

// A call started on a worker thread of its own for a caller that goes on with other work while
// it runs; Finish then waits for it as RunOnWorker does. The thread stays for the next Start, so
// a caller that hands out many short calls (the batches of small files) does not wait for a new
// thread to come up each time; it ends with the object. Not movable: the worker uses it.
class StartedCall {
 public:
  StartedCall() = default;
  // Waits for a call that was started and not finished (without handling messages), then ends
  // the thread.
  ~StartedCall();
  StartedCall(const StartedCall&) = delete;
  StartedCall& operator=(const StartedCall&) = delete;

  // False (and nothing runs) when no thread can be started or a call is still running.
  [[nodiscard]] bool Start(std::function<DWORD()> call);
  bool Running() const { return running_; }
  // Waits as RunOnWorker does and returns the call's result; StatusMemoryError when no call
  // was started.
  [[nodiscard]] DWORD Finish(HWND dialog, const std::atomic<DWORD>& cancelFlag);

 private:
  static DWORD Main(LPVOID self);

  std::function<DWORD()> call_;
  std::atomic<DWORD> result_{static_cast<DWORD>(-1)};
  // Set by the worker once the call has returned and nothing of it is touched any more.
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  bool running_ = false;
  OwnedHandle callReady_;  // auto-reset: a call (or the stop) waits for the worker
  OwnedHandle callDone_;   // auto-reset: the worker finished its call
  OwnedHandle thread_;
};
