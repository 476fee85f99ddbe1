// Sleep, over nanosleep.
#include <windows.h>

#include <cerrno>
#include <ctime>

// Sleeps the whole time, whatever signals come meanwhile.
void Sleep(DWORD dwMilliseconds) {
  timespec left = {(time_t)(dwMilliseconds / 1000), (long)(dwMilliseconds % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR)
    ;
}
