// GetLastError as kernel32 gives it: one last error per thread, set by every failing call, and
// the Windows error code a failing system call's errno stands for.
#include <errno.h>

#include "platform/posix/port_table.h"
#include "platform/win32.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

namespace posix {

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EISDIR:
    case EWOULDBLOCK:
      return ERROR_ACCESS_DENIED;
    case ENOTTY:
      return ERROR_INVALID_FUNCTION;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:  // the device went away under an open descriptor
      return ERROR_OPERATION_ABORTED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

}  // namespace posix

extern "C" {

DWORD GetLastError(void) { return lastError; }

}  // extern "C"
