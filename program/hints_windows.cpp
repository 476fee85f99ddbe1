// Windows: hints by Windows error code.
#include <windows.h>

#include "hints.h"

static const char NO_SUCH_PORT[] =
    "`tarvick --list` shows the serial ports here; from COM10 on, give the port as \\\\.\\COM10.";
static const char LINE_FAILED[] =
    "The line failed: the adapter was unplugged or the driver stopped. Check the cable and run "
    "again.";

const failure_hint PLATFORM_HINTS[] = {
    {&OPEN_PORT_FAILED, ERROR_FILE_NOT_FOUND, NO_SUCH_PORT, NULL},
    {&OPEN_PORT_FAILED, ERROR_PATH_NOT_FOUND, NO_SUCH_PORT, NULL},
    {&OPEN_PORT_FAILED, ERROR_ACCESS_DENIED,
     "Another program has the port open (a terminal program, another tarvick): close it and "
     "try again.",
     NULL},
    {&GET_TIMEOUTS_FAILED, ANY_CODE,
     "That is not a serial port. `tarvick --list` shows the serial ports here.", NULL},
    {&WRITE_FAILED, ERROR_TIMEOUT, WRITE_TIMED_OUT, NULL},
    {&WRITE_FAILED, ANY_CODE, LINE_FAILED, NULL},
    {&READ_FAILED, ANY_CODE, LINE_FAILED, NULL},
    {&OPEN_FILE_FAILED, ERROR_FILE_NOT_FOUND, NO_SUCH_FILE, NULL},
    {&OPEN_FILE_FAILED, ERROR_PATH_NOT_FOUND, NO_SUCH_FILE, NULL},
    {&OPEN_FILE_FAILED, ERROR_ACCESS_DENIED,
     "That is a folder, or a file you may not read: name a file.", NULL},
};
const size_t PLATFORM_HINT_COUNT = sizeof PLATFORM_HINTS / sizeof PLATFORM_HINTS[0];
