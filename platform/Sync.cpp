// Events and threads over eventfds: readable while signalled, so waits block in poll().
#include "platform/Sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/LastError.h"

using namespace qv::detail;

namespace {

using Clock = std::chrono::steady_clock;

// A signal state mirrored in an eventfd: the counter is 1 while signalled, 0 otherwise.
class Event : public WaitableObject {
 public:
  Event(bool manualReset, bool initialState)
      : manual_(manualReset), fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (initialState) Set();
  }
  bool Valid() const { return fd_.Valid(); }
  int PollFd() const override { return fd_.Get(); }

  void Set() {
    std::lock_guard<std::mutex> guard(lock_);
    if (signalled_) return;
    signalled_ = true;
    const std::uint64_t one = 1;
    (void)!write(fd_.Get(), &one, sizeof one);
  }
  void Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    ClearLocked();
  }
  bool TryAcquire() override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!signalled_) return false;
    if (!manual_) ClearLocked();
    return true;
  }

 private:
  void ClearLocked() {
    if (!signalled_) return;
    signalled_ = false;
    std::uint64_t value = 0;
    (void)!read(fd_.Get(), &value, sizeof value);
  }

  const bool manual_;
  UniqueFd fd_;
  std::mutex lock_;
  bool signalled_ = false;
};

class Thread : public WaitableObject {
 public:
  Thread() : done_(true, false) {}
  bool Valid() const { return done_.Valid(); }
  int PollFd() const override { return done_.PollFd(); }
  bool TryAcquire() override { return done_.TryAcquire(); }

  void Run(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    {
      std::unique_lock<std::mutex> guard(lock_);
      tid_ = static_cast<DWORD>(syscall(SYS_gettid));
      started_.notify_all();
      resumed_.wait(guard, [this] { return resumed_flag_; });
    }
    const DWORD code = start(parameter);
    {
      std::lock_guard<std::mutex> guard(lock_);
      exit_code_ = code;
      finished_ = true;
    }
    done_.Set();
  }
  DWORD WaitStarted() {
    std::unique_lock<std::mutex> guard(lock_);
    started_.wait(guard, [this] { return tid_ != 0; });
    return tid_;
  }
  DWORD Resume() {
    std::lock_guard<std::mutex> guard(lock_);
    const DWORD previous = resumed_flag_ ? 0 : 1;
    resumed_flag_ = true;
    resumed_.notify_all();
    return previous;
  }
  DWORD ExitCode() {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_ ? exit_code_ : STILL_ACTIVE;
  }

 private:
  Event done_;
  std::mutex lock_;
  std::condition_variable started_;
  std::condition_variable resumed_;
  DWORD tid_ = 0;
  bool resumed_flag_ = false;
  bool finished_ = false;
  DWORD exit_code_ = STILL_ACTIVE;
};

}  // namespace

namespace qv::detail {

DWORD WaitableObject::Wait(DWORD milliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (TryAcquire()) return WAIT_OBJECT_0;
    int timeout = -1;
    if (milliseconds != INFINITE) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return WAIT_TIMEOUT;
      timeout = static_cast<int>(left);
    }
    pollfd entry{PollFd(), POLLIN, 0};
    if (poll(&entry, 1, timeout) < 0 && errno != EINTR) {
      SetLastError(Win32ErrorFromErrno(errno));
      return WAIT_FAILED;
    }
  }
}

}  // namespace qv::detail

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                    LPCSTR name) noexcept {
  if (name != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    auto event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
    if (!event->Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return nullptr;
    }
    return InsertHandle(std::move(event));
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL SetEvent(HANDLE handle) noexcept {
  const auto event = LookupHandleAs<Event>(handle);
  if (!event) return FALSE;
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) noexcept {
  const auto event = LookupHandleAs<Event>(handle);
  if (!event) return FALSE;
  event->Reset();
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) noexcept {
  if (start == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    auto thread = std::make_shared<Thread>();
    if (!thread->Valid()) {
      SetLastError(Win32ErrorFromErrno(errno));
      return nullptr;
    }
    const HANDLE handle = InsertHandle(thread);
    if (handle == nullptr) return nullptr;
    try {
      std::thread([thread, start, parameter] { thread->Run(start, parameter); }).detach();
    } catch (...) {
      CloseHandle(handle);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    const DWORD tid = thread->WaitStarted();
    if (threadId != nullptr) *threadId = tid;
    if ((flags & CREATE_SUSPENDED) == 0) thread->Resume();
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

DWORD ResumeThread(HANDLE handle) noexcept {
  const auto thread = LookupHandleAs<Thread>(handle);
  if (!thread) return static_cast<DWORD>(-1);
  return thread->Resume();
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) noexcept {
  const auto thread = LookupHandleAs<Thread>(handle);
  if (!thread || exitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = thread->ExitCode();
  return TRUE;
}

DWORD GetCurrentThreadId() noexcept { return static_cast<DWORD>(syscall(SYS_gettid)); }
