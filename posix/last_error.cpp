#include <windows.h>

#include <cerrno>
#include <ctime>

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

// Sleeps the whole time, whatever signals come meanwhile.
void Sleep(DWORD dwMilliseconds) {
  timespec left = {(time_t)(dwMilliseconds / 1000), (long)(dwMilliseconds % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR)
    ;
}
