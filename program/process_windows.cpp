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
// take an interrupted load for a success. Threads of the program's own keep
// the process alive: once the main thread has ended outside the way out,
// one of them ends the run as stopped, and where a further SIGQUIT ends
// that one too before it has ended the process, another does it again.
// (On Windows the main thread never ends before the process does.)
static const int QUIT_WATCHERS = 4;
// A thread ended in the middle of Wine's own work may leave a lock of
// Wine's taken (its handle cache's), on which the next one then waits for
// ever: a stopper that has not ended the process by then is cut short, with
// the stop's status, by a call that takes no such lock. On a busy machine
// the report's flush alone may take seconds under Wine, so the patience is
// long enough for that.
static const DWORD STOPPER_PATIENCE_MS = 5000;
static HANDLE watchers[QUIT_WATCHERS]; // each watcher's own handle, made before any stop
static volatile LONG stopper = -1;     // which of them ends the run as stopped
static HANDLE watcher_started = NULL;

// Becomes the thread that ends the run, where `ended` (-1 for the main
// thread, else the stopper before) is still the one that should have.
static void take_over(LONG me, LONG ended) {
  if (InterlockedCompareExchange(&stopper, me, ended) != ended)
    return;
  if (ended < 0 && leaving_already())
    end_stopped((int)STATUS_CONTROL_C_EXIT);
  if (ended < 0)
    leave_stopped("SIGQUIT", (int)STATUS_CONTROL_C_EXIT);
  leave_stopped_again("SIGQUIT", (int)STATUS_CONTROL_C_EXIT);
}

// The kernel gives a signal the main thread can no longer take to the
// earliest thread made after it: the watcher made last ends the run, and
// those before it take the further SIGQUITs. Where the one that ends the
// run is ended itself, the next takes over.
static DWORD WINAPI watch_for_quits(LPVOID number) {
  LONG me = (LONG)(INT_PTR)number, last = QUIT_WATCHERS - 1;
  SetEvent(watcher_started);
  WaitForSingleObject(main_thread, INFINITE);
  if (me == last || WaitForSingleObject(watchers[last], 0) == WAIT_OBJECT_0)
    take_over(me, -1);
  for (DWORD waited = 0;; waited++) {
    LONG current = stopper; // set by whichever took over
    if (current < 0 && waited >= STOPPER_PATIENCE_MS)
      end_stopped((int)STATUS_CONTROL_C_EXIT);
    if (current < 0) {
      Sleep(1);
      continue;
    }
    if (WaitForSingleObject(watchers[current], STOPPER_PATIENCE_MS) == WAIT_TIMEOUT)
      end_stopped((int)STATUS_CONTROL_C_EXIT);
    take_over(me, current);
  }
}

// The watching threads are running before the run goes on: under Wine a
// process that ends while a thread of it is still starting says so on
// standard error ("wine client error").
static void watch_the_main_thread() {
  watcher_started = CreateEventA(NULL, FALSE, FALSE, NULL);
  if (watcher_started == NULL ||
      !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread,
                       SYNCHRONIZE, FALSE, 0))
    return;
  for (int i = 0; i < QUIT_WATCHERS; i++) {
    watchers[i] = CreateThread(NULL, 64 * 1024, watch_for_quits, (LPVOID)(INT_PTR)i,
                               STACK_SIZE_PARAM_IS_A_RESERVATION | CREATE_SUSPENDED, NULL);
    if (watchers[i] == NULL)
      return;
  }
  for (HANDLE watcher : watchers) {
    ResumeThread(watcher);
    WaitForSingleObject(watcher_started, INFINITE);
  }
}

void prepare_process() {
  SetConsoleCtrlHandler(stop_run, TRUE);
  keep_console_still();
  watch_the_main_thread();
}
