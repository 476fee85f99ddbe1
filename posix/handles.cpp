// The handle behind a HANDLE, and the last error, per thread as on Windows.
#include "handle.h"

#include <cerrno>

static thread_local DWORD last_error = ERROR_SUCCESS;

DWORD GetLastError(void) {
  return last_error;
}

void SetLastError(DWORD dwErrCode) {
  last_error = dwErrCode;
}

posix_handle *handle_of(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SetLastError(EBADF);
    return nullptr;
  }
  return static_cast<posix_handle *>(handle);
}

posix_handle *port_of(HANDLE handle) {
  posix_handle *port = handle_of(handle);
  if (port != nullptr && !port->is_tty) {
    SetLastError(ENOTTY);
    return nullptr;
  }
  return port;
}

BOOL fail_with(int error_code) {
  SetLastError((DWORD)error_code);
  return FALSE;
}
