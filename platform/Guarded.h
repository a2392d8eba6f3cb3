// The one exception guard of entry points. An exported function or a COM method is called by
// code that cannot catch a C++ exception (another module, C, the host), so none may leave it:
// each entry point runs its body through Guarded and says what an escaped exception becomes
// in its own result convention. The two conventions of this system's API are ready-made
// below: the Win32 one (a failure value with the thread's last error) and the COM one.
#pragma once

#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

#include "platform/Com.h"
#include "platform/LastError.h"
#include "platform/WinTypes.h"

// What ended a guarded body.
enum class EscapedException {
  OutOfMemory,     // std::bad_alloc
  SystemResource,  // std::system_error: a thread, lock or descriptor the system refused
  Other,           // anything else: a fault of the code
};

// Runs `body` and returns its result; when an exception leaves it, returns
// `onException(kind)` converted to the body's result type. `onException` must not throw.
template <class Body, class OnException>
std::invoke_result_t<Body&> Guarded(Body&& body, OnException&& onException) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return onException(EscapedException::OutOfMemory);
  } catch (const std::system_error&) {
    return onException(EscapedException::SystemResource);
  } catch (...) {
    return onException(EscapedException::Other);
  }
}

// The Win32 convention: `failure`, with ERROR_NOT_ENOUGH_MEMORY as the thread's last error,
// whatever escaped. The body's result is returned as a Result.
template <class Result, class Body>
Result GuardedLastError(Result failure, Body&& body) noexcept {
  return Guarded([&]() -> Result { return body(); },
                 [failure](EscapedException) {
                   SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                   return failure;
                 });
}

// The COM convention: E_OUTOFMEMORY when memory or a system resource ran out, E_UNEXPECTED
// for anything else.
template <class Body>
HRESULT GuardedHresult(Body&& body) noexcept {
  return Guarded([&]() -> HRESULT { return body(); },
                 [](EscapedException kind) {
                   return kind == EscapedException::Other ? E_UNEXPECTED : E_OUTOFMEMORY;
                 });
}
