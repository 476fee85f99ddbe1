// Windows: the program's policies for the process and the port, the
// console, the system's error texts and hints by Windows error code.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../base/status_line.h"
#include "platform.h"

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT 0xC000013AL
#endif

static const DWORD DRAW_GRACE_MS = 50;

// Ctrl-C, Ctrl-Break and a closed console end the run as Windows' own
// default does, with STATUS_CONTROL_C_EXIT, which a script cannot take for
// success (Wine's default ends with 0), after erasing the drawn line. It
// runs on a thread of its own, alongside the run: a frame the run is
// drawing now is given a moment to finish before the erase.
static BOOL WINAPI stop_run(DWORD) {
  stop_drawing();
  Sleep(DRAW_GRACE_MS);
  erase_status_at_once();
  ExitProcess((UINT)STATUS_CONTROL_C_EXIT);
}

void prepare_process() {
  SetConsoleCtrlHandler(stop_run, TRUE);
}

// The latency timer of a USB adapter is its driver's setting on Windows.
void prefer_low_latency(HANDLE) {}

void advise_large_buffer(void *, size_t) {}

static bool is_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

bool error_is_terminal() {
  return is_console(STD_ERROR_HANDLE);
}

bool output_is_terminal() {
  return is_console(STD_OUTPUT_HANDLE);
}

// A console has no background.
bool error_in_foreground() {
  return true;
}

int terminal_width() {
  CONSOLE_SCREEN_BUFFER_INFO screen;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen))
    return 0;
  return screen.srWindow.Right - screen.srWindow.Left + 1;
}

void write_error_at_once(const char *text, size_t length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)length, &written, NULL);
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

const failure_hint PLATFORM_HINTS[] = {
    {&OPEN_PORT_FAILED, ERROR_FILE_NOT_FOUND, NO_SUCH_PORT, NULL},
    {&OPEN_PORT_FAILED, ERROR_PATH_NOT_FOUND, NO_SUCH_PORT, NULL},
    {&OPEN_PORT_FAILED, ERROR_ACCESS_DENIED,
     "Another program has the port open (a terminal program, another tarvick): close it and "
     "try again.",
     NULL},
    {&GET_TIMEOUTS_FAILED, ANY_CODE,
     "That is not a serial port. `tarvick --list` shows the serial ports here.", NULL},
    {&WRITE_FAILED, ANY_CODE, LINE_FAILED, NULL},
    {&READ_FAILED, ANY_CODE, LINE_FAILED, NULL},
    {&OPEN_FILE_FAILED, ERROR_FILE_NOT_FOUND, NO_SUCH_FILE, NULL},
    {&OPEN_FILE_FAILED, ERROR_PATH_NOT_FOUND, NO_SUCH_FILE, NULL},
    {&OPEN_FILE_FAILED, ERROR_ACCESS_DENIED,
     "That is a folder, or a file you may not read: name a file.", NULL},
};
const size_t PLATFORM_HINT_COUNT = sizeof PLATFORM_HINTS / sizeof PLATFORM_HINTS[0];
