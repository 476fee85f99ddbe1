// Windows: the console's stop events.
#include <windows.h>

#include "../base/run_record.h"
#include "../base/status_line.h"
#include "process.h"

#ifndef STATUS_CONTROL_C_EXIT
#define STATUS_CONTROL_C_EXIT 0xC000013AL
#endif

// Ctrl-C, Ctrl-Break and a closed console end the run as Windows' own
// default does, with STATUS_CONTROL_C_EXIT, which a script cannot take for
// success (Wine's default ends with 0), after erasing the drawn line. It
// runs on a thread of its own, alongside the run: the erase waits for a
// frame the run is drawing now, however long its console write takes.
static BOOL WINAPI stop_run(DWORD event) {
  erase_status_at_once();
  record_stopped(event == CTRL_C_EVENT       ? "Ctrl-C"
                 : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
                                             : "the console closing");
  ExitProcess((UINT)STATUS_CONTROL_C_EXIT);
}

void prepare_process() {
  SetConsoleCtrlHandler(stop_run, TRUE);
}
