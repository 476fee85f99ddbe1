// Windows: the console test, the system's error texts and hints by Windows
// error code.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform.h"

bool error_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void describe_error(unsigned code, char *text, size_t size) {
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, text, (DWORD)size, NULL);
  // The system's text ends with a line end of its own.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.'))
    text[--length] = '\0';
  if (length == 0)
    snprintf(text, size, "error %u", code);
}

static const char NO_SUCH_PORT[] =
    "`tarvick --list` shows the serial ports here; from COM10 on, give the port as \\\\.\\COM10.";
static const char LINE_FAILED[] =
    "The line failed: the adapter was unplugged or the driver stopped. Check the cable and run "
    "again.";

const failure_hint FAILURE_HINTS[] = {
    {"fail to open %s : %u\n", ABOUT_PORT, ERROR_FILE_NOT_FOUND, NO_SUCH_PORT},
    {"fail to open %s : %u\n", ABOUT_PORT, ERROR_PATH_NOT_FOUND, NO_SUCH_PORT},
    {"fail to open %s : %u\n", ABOUT_PORT, ERROR_ACCESS_DENIED,
     "Another program has the port open (a terminal program, another tarvick): close it and "
     "try again."},
    {"fail to get %s timeouts: %u\n", ABOUT_PORT, ANY_CODE,
     "That is not a serial port. `tarvick --list` shows the serial ports here."},
    {"fail to write to %s : %u\n", ABOUT_PORT, ANY_CODE, LINE_FAILED},
    {"fail to read from %s : %u\n", ABOUT_PORT, ANY_CODE, LINE_FAILED},
    {"fail to open %s : %u\n", ABOUT_FILE, ERROR_FILE_NOT_FOUND, NO_SUCH_FILE},
    {"fail to open %s : %u\n", ABOUT_FILE, ERROR_PATH_NOT_FOUND, NO_SUCH_FILE},
    {"fail to open %s : %u\n", ABOUT_FILE, ERROR_ACCESS_DENIED,
     "That is a folder, or a file you may not read: name a file."},
};
const size_t FAILURE_HINT_COUNT = sizeof FAILURE_HINTS / sizeof FAILURE_HINTS[0];
