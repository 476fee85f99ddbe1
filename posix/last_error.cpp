#include <windows.h>

#include "handle.h"

static thread_local DWORD last_error = ERROR_SUCCESS;

DWORD GetLastError(void) {
  return last_error;
}

void SetLastError(DWORD dwErrCode) {
  last_error = dwErrCode;
}

BOOL fail_with(int error_code) {
  SetLastError((DWORD)error_code);
  return FALSE;
}
