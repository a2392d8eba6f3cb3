// Thread-local last error and the errno to Win32 status mapping.
#include "platform/LastError.h"

#include <cerrno>

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() noexcept { return t_lastError; }
void SetLastError(DWORD error) noexcept { t_lastError = error; }

DWORD Win32ErrorFromErrno(int err) noexcept {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case ENOSPC:
      return ERROR_WRITE_FAULT;
    case EIO:
      return ERROR_READ_FAULT;
    case ENOTSUP:
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}
