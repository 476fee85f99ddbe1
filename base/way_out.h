// The one way out of a run. Every ending leaves through here: a completed
// load, the usage message, each failure (report_and_exit), the answers to
// --help, --version and --list, and each stop. It stops what runs beside
// the main thread, puts back what the run changed on the port and the
// system, writes the records and ends the process.
#pragma once

#include "failures.h"

// Ends the run with `status`, 0 for a completed load and 2 for a failure.
// A record that cannot be written makes a completed load's 0 a 2.
[[noreturn]] void leave(int status);

// Ends a run that was stopped (a signal, a console event) as it was
// stopped: `how` is the signal on Linux and macOS, the exit code on
// Windows. From a handler: plain system calls only. Nothing waits for the
// hash's thread; the process ends without any library's clean-up.
[[noreturn]] void leave_stopped(const char *stopped_by, int how);

// The same, where the thread that began the stop was ended before it could
// end the process (under Wine a SIGQUIT ends a thread): done again, from
// the start, without waiting for that thread.
[[noreturn]] void leave_stopped_again(const char *stopped_by, int how);

// Whether the run is on its way out already.
bool leaving_already();

// Has leave() also stop what a station runs beside its loop (its watcher,
// its view, its boards' runs), first of all.
void stop_on_the_way_out(void (*stop)());
