// The per-thread message queues of the dialog framework: posted and sent messages, timers,
// and waiting for "a message or an object" without spinning.
//
// Each queue has an eventfd that is readable exactly while the queue holds a message, so a
// waiting thread sleeps in poll() on it together with the objects it waits for; due timers
// bound the sleep.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LastError.h"
#include "platform/Sync.h"
#include "platform/ui/UiInternal.h"
#include "platform/ui/WindowApi.h"

using namespace qv::ui::detail;
using qv::detail::UniqueFd;
using qv::detail::WaitableObject;

namespace qv::ui::detail {

// A message sent from another thread: the sender waits until the owner has handled it.
struct SentMessage {
  std::mutex lock;
  std::condition_variable done;
  bool handled = false;
  LRESULT result = 0;
};

struct QueuedMessage {
  MSG msg;
  std::shared_ptr<SentMessage> sent;  // set for SendMessageA across threads
};

struct Timer {
  HWND window;
  UINT_PTR id;
  DWORD interval;
  ULONGLONG due;
};

class ThreadQueue {
 public:
  ThreadQueue() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  int Fd() const { return fd_.Get(); }

  bool Post(QueuedMessage entry) {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return false;
    messages_.push_back(std::move(entry));
    ArmLocked();
    return true;
  }

  // The next message for `filter` (null: any); due timers come after posted messages.
  bool Take(HWND filter, bool remove, QueuedMessage* out) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
      if (filter != nullptr && it->msg.hwnd != filter) continue;
      *out = *it;
      if (remove) messages_.erase(it);
      if (messages_.empty()) DisarmLocked();
      return true;
    }
    const ULONGLONG now = GetTickCount64();
    for (Timer& timer : timers_) {
      if (timer.due > now || (filter != nullptr && timer.window != filter)) continue;
      out->msg = MSG{timer.window, WM_TIMER, timer.id, 0, static_cast<DWORD>(now)};
      out->sent.reset();
      if (remove) timer.due = now + timer.interval;
      return true;
    }
    return false;
  }

  bool HasInput() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!messages_.empty()) return true;
    const ULONGLONG now = GetTickCount64();
    for (const Timer& timer : timers_) {
      if (timer.due <= now) return true;
    }
    return false;
  }

  // Milliseconds until the next timer is due; -1 for none.
  int NextTimerIn() {
    std::lock_guard<std::mutex> guard(lock_);
    long long best = -1;
    const ULONGLONG now = GetTickCount64();
    for (const Timer& timer : timers_) {
      const long long left = timer.due > now ? static_cast<long long>(timer.due - now) : 0;
      if (best < 0 || left < best) best = left;
    }
    return static_cast<int>(best);
  }

  void SetTimer(HWND window, UINT_PTR id, DWORD interval) {
    std::lock_guard<std::mutex> guard(lock_);
    const ULONGLONG due = GetTickCount64() + interval;
    for (Timer& timer : timers_) {
      if (timer.window == window && timer.id == id) {
        timer.interval = interval;
        timer.due = due;
        return;
      }
    }
    timers_.push_back(Timer{window, id, interval, due});
  }

  bool KillTimer(HWND window, UINT_PTR id) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->window == window && it->id == id) {
        timers_.erase(it);
        return true;
      }
    }
    return false;
  }

  void RemoveWindow(HWND window) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase_if(timers_, [window](const Timer& t) { return t.window == window; });
  }

  // The thread ended: senders waiting on it are released with 0.
  void Close() {
    std::deque<QueuedMessage> left;
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = true;
      left.swap(messages_);
      timers_.clear();
      DisarmLocked();
    }
    for (QueuedMessage& entry : left) {
      if (!entry.sent) continue;
      std::lock_guard<std::mutex> guard(entry.sent->lock);
      entry.sent->handled = true;
      entry.sent->done.notify_all();
    }
  }

 private:
  void ArmLocked() {
    if (armed_) return;
    const std::uint64_t one = 1;
    (void)!write(fd_.Get(), &one, sizeof one);
    armed_ = true;
  }
  void DisarmLocked() {
    if (!armed_) return;
    std::uint64_t value = 0;
    (void)!read(fd_.Get(), &value, sizeof value);
    armed_ = false;
  }

  UniqueFd fd_;
  std::mutex lock_;
  std::deque<QueuedMessage> messages_;
  std::vector<Timer> timers_;
  bool armed_ = false;
  bool closed_ = false;
};

namespace {

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  ~QueueHolder() { queue->Close(); }
};

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() {
  thread_local QueueHolder holder;
  return holder.queue;
}

bool PostToQueue(ThreadQueue& queue, const MSG& msg) { return queue.Post(QueuedMessage{msg, {}}); }

void RemoveTimersOf(ThreadQueue& queue, HWND window) { queue.RemoveWindow(window); }

// Posting to a dialog or control of this process (PostMessageA routes UI handles here).
BOOL PostUiMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  if (TargetOf(window, &queue) == nullptr || !queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!PostToQueue(*queue, MSG{window, message, wParam, lParam, GetTickCount()})) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace qv::ui::detail

namespace {

LRESULT CallWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND dialog = DialogOf(window);
  if (dialog == nullptr) return 0;
  // A click on a button is a command to its dialog, unless the button is disabled.
  if (window != dialog) {
    if (message != BM_CLICK || !IsWindowEnabled(window) || !IsWindowVisible(window)) return 0;
    return SendMessageA(dialog, WM_COMMAND,
                        MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(window)), BN_CLICKED),
                        reinterpret_cast<LPARAM>(window));
  }
  WindowTarget* target = TargetOf(dialog, nullptr);
  return target != nullptr ? target->WindowProc(message, wParam, lParam) : 0;
}

// Handles a message another thread sent, and releases the sender.
void Deliver(const QueuedMessage& entry) {
  const LRESULT result =
      CallWindow(entry.msg.hwnd, entry.msg.message, entry.msg.wParam, entry.msg.lParam);
  std::lock_guard<std::mutex> guard(entry.sent->lock);
  entry.sent->result = result;
  entry.sent->handled = true;
  entry.sent->done.notify_all();
}

}  // namespace

BOOL PeekMessageA(LPMSG msg, HWND filter, UINT, UINT, UINT removeFlags) noexcept {
  if (msg == nullptr) return FALSE;
  try {
    PollBackend();
    const auto queue = CurrentQueue();
    QueuedMessage entry;
    for (;;) {
      if (!queue->Take(filter, (removeFlags & PM_REMOVE) != 0, &entry)) return FALSE;
      if (!entry.sent) break;
      // Sent messages are handled inside the pump and never returned.
      if ((removeFlags & PM_REMOVE) == 0) queue->Take(filter, true, &entry);
      Deliver(entry);
    }
    *msg = entry.msg;
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

bool PumpWaitingMessages(HWND dialog, int* quitCode) noexcept {
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

BOOL GetMessageA(LPMSG msg, HWND filter, UINT, UINT) noexcept {
  if (msg == nullptr) return -1;
  for (;;) {
    if (PeekMessageA(msg, filter, 0, 0, PM_REMOVE)) return msg->message == WM_QUIT ? FALSE : TRUE;
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT) == WAIT_FAILED)
      return -1;
  }
}

LRESULT DispatchMessageA(const MSG* msg) noexcept {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  try {
    return CallWindow(msg->hwnd, msg->message, msg->wParam, msg->lParam);
  } catch (...) {
    return 0;
  }
}

BOOL TranslateMessage(const MSG*) noexcept { return FALSE; }
BOOL IsDialogMessageA(HWND, LPMSG) noexcept { return FALSE; }

void PostQuitMessage(int exitCode) noexcept {
  try {
    PostToQueue(*CurrentQueue(),
                MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, GetTickCount()});
  } catch (...) {
  }
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
  try {
    std::shared_ptr<ThreadQueue> queue;
    if (TargetOf(window, &queue) == nullptr && DialogOf(window) == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (!queue || queue == CurrentQueue()) return CallWindow(window, message, wParam, lParam);
    auto sent = std::make_shared<SentMessage>();
    if (!queue->Post(QueuedMessage{MSG{window, message, wParam, lParam, GetTickCount()}, sent}))
      return 0;
    std::unique_lock<std::mutex> guard(sent->lock);
    sent->done.wait(guard, [&] { return sent->handled; });
    return sent->result;
  } catch (...) {
    return 0;
  }
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback) noexcept {
  try {
    std::shared_ptr<ThreadQueue> queue;
    if (callback != nullptr || id == 0 || TargetOf(window, &queue) == nullptr || !queue) {
      SetLastError(callback != nullptr || id == 0 ? ERROR_INVALID_PARAMETER
                                                  : ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    queue->SetTimer(window, id, milliseconds);
    return id;
  } catch (...) {
    return 0;
  }
}

BOOL KillTimer(HWND window, UINT_PTR id) noexcept {
  std::shared_ptr<ThreadQueue> queue;
  if (TargetOf(window, &queue) == nullptr || !queue) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return queue->KillTimer(window, id) ? TRUE : FALSE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD) noexcept {
  try {
    if (waitAll != FALSE || (count > 0 && handles == nullptr) || count > 63) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<WaitableObject>> objects;
    for (DWORD i = 0; i < count; ++i) {
      auto object = qv::detail::LookupHandleAs<WaitableObject>(handles[i]);
      if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      objects.push_back(std::move(object));
    }
    const auto queue = CurrentQueue();
    const ULONGLONG start = GetTickCount64();
    for (;;) {
      for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->TryAcquire()) return WAIT_OBJECT_0 + i;
      }
      PollBackend();
      if (queue->HasInput()) return WAIT_OBJECT_0 + count;
      long long timeout = -1;
      if (milliseconds != INFINITE) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= milliseconds) return WAIT_TIMEOUT;
        timeout = static_cast<long long>(milliseconds - elapsed);
      }
      const int timer = queue->NextTimerIn();
      if (timer >= 0 && (timeout < 0 || timer < timeout)) timeout = timer;
      std::vector<pollfd> fds;
      fds.reserve(count + 2);
      for (const auto& object : objects) fds.push_back(pollfd{object->PollFd(), POLLIN, 0});
      fds.push_back(pollfd{queue->Fd(), POLLIN, 0});
      const int wake = BackendWakeFd();
      if (wake >= 0) fds.push_back(pollfd{wake, POLLIN, 0});
      if (poll(fds.data(), fds.size(), static_cast<int>(timeout)) < 0 && errno != EINTR) {
        SetLastError(Win32ErrorFromErrno(errno));
        return WAIT_FAILED;
      }
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return WAIT_FAILED;
  }
}
