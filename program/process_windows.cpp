// Windows: the console's stop events, and what Wine makes of POSIX signals.
#include <windows.h>

#include "../base/way_out.h"
#include "../platform/platform.h"
#include "process.h"

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT 0xC000013AL
#endif

static HANDLE main_thread = NULL;

// Ctrl-C, Ctrl-Break and a closed console end the run as Windows' own
// default does, with STATUS_CONTROL_C_EXIT, which a script cannot take for
// success (Wine's default ends with 0). It runs on a thread of its own,
// alongside the run.
static BOOL WINAPI stop_run(DWORD event) {
  leave_stopped(event == CTRL_C_EVENT       ? "Ctrl-C"
                : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
                                            : "the console closing",
                (int)STATUS_CONTROL_C_EXIT);
}

// Under Wine a SIGQUIT ends the thread it lands on with exit code 0, and the
// process with it where that was its last thread, so that a script would
// take an interrupted load for a success. This thread keeps the process
// alive, and once the main thread has ended outside the way out, it ends
// the run as stopped. (On Windows the main thread never ends before the
// process does.)
static DWORD WINAPI watch_main_thread(LPVOID started) {
  SetEvent((HANDLE)started);
  WaitForSingleObject(main_thread, INFINITE);
  if (leaving_already())
    end_stopped((int)STATUS_CONTROL_C_EXIT);
  leave_stopped("SIGQUIT", (int)STATUS_CONTROL_C_EXIT);
}

// The watching thread is running before the run goes on: under Wine a
// process that ends while a thread of it is still starting says so on
// standard error ("wine client error").
static void watch_the_main_thread() {
  HANDLE started = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (started == NULL || !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                                          GetCurrentProcess(), &main_thread, SYNCHRONIZE, FALSE, 0))
    return;
  HANDLE watcher = CreateThread(NULL, 64 * 1024, watch_main_thread, started,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (watcher != NULL) {
    WaitForSingleObject(started, INFINITE);
    CloseHandle(watcher);
  }
}

void prepare_process() {
  SetConsoleCtrlHandler(stop_run, TRUE);
  keep_console_still();
  watch_the_main_thread();
}
