// Events and threads as kernel objects: CreateEventA / SetEvent / ResetEvent, CreateThread /
// ResumeThread / GetExitCodeThread. Both are waitable with WaitForSingleObject and with the
// dialog framework's MsgWaitForMultipleObjects, which waits for "a message or one of these".
//
// Each waitable object keeps an eventfd that is readable exactly while the object is
// signalled, so a waiter blocks in poll() and uses no CPU until something happens.
#pragma once

#include "platform/Handles.h"
#include "platform/WinTypes.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
inline constexpr DWORD CREATE_SUSPENDED = 0x00000004;
inline constexpr DWORD STILL_ACTIVE = 259;

// An unnamed event (a name is refused with ERROR_INVALID_PARAMETER). A manual-reset event
// stays signalled until ResetEvent; an auto-reset event releases one waiter and resets.
QV_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES securityAttributes, BOOL manualReset,
                           BOOL initialState, LPCSTR name) noexcept;
[[nodiscard]] QV_API BOOL SetEvent(HANDLE event) noexcept;
[[nodiscard]] QV_API BOOL ResetEvent(HANDLE event) noexcept;

// Starts `start(parameter)` on a new thread (held until ResumeThread with CREATE_SUSPENDED).
// The handle is signalled when the routine has returned; its result is the exit code.
// `stackSize` is ignored. Null with the last error set on failure.
QV_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES securityAttributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) noexcept;
// Lets a suspended thread run. Returns the previous suspend count (1 the first time, then 0);
// (DWORD)-1 for a handle that is not a thread.
QV_API DWORD ResumeThread(HANDLE thread) noexcept;
// STILL_ACTIVE while the thread runs, then the routine's result.
[[nodiscard]] QV_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) noexcept;
QV_API DWORD GetCurrentThreadId() noexcept;

namespace qv::detail {

// A kernel object that can be polled: its descriptor is readable while it is signalled.
class WaitableObject : public KernelObject {
 public:
  virtual int PollFd() const = 0;
  // Takes the signal if the object is signalled (resetting an auto-reset object); true when
  // the waiter may go on.
  virtual bool TryAcquire() = 0;
  DWORD Wait(DWORD milliseconds) override;
};

}  // namespace qv::detail
