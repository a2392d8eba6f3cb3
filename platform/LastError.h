// The calling thread's last Win32 error, as set by the platform functions that report
// failure through GetLastError.
#pragma once

#include "platform/WinTypes.h"

QV_API DWORD GetLastError() noexcept;
QV_API void SetLastError(DWORD error) noexcept;
// Maps an errno value to the Win32 status that the callers of the platform expect.
QV_API DWORD Win32ErrorFromErrno(int err) noexcept;
