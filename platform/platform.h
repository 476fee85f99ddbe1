// What the driver needs of the platform: the program's own policies for the
// process, the port and its buffers, and what a person at a terminal sees.
// One source file a platform provides it: platform_posix.cpp for Linux and
// macOS, platform_windows.cpp for Windows.
#pragma once

#include <windows.h>

#include <cstddef>

#include "../base/failures.h"

// The process, before anything else: standard streams that are there, a
// reader of standard output that goes away ending no load, and a stopping
// signal (or console event) that erases what is drawn and ends the run as
// stopped, never as a success.
void prepare_process();
// Asks the port's driver to pass received bytes on at once: every reply
// the protocols wait for is one byte.
void prefer_low_latency(HANDLE port);
// Advice for a buffer about to be filled with a whole image.
void advise_large_buffer(void *buffer, size_t size);

// Whether standard error (standard output) is a terminal, a console on
// Windows: only standard error is ever drawn on.
bool error_is_terminal();
bool output_is_terminal();
// Whether this run may draw on standard error now: a run in the background
// leaves the terminal to what is in the foreground.
bool error_in_foreground();
// The width of the terminal on standard error, in columns; 0 where unknown.
int terminal_width();
// Writes to standard error straight away; safe in a signal handler.
void write_error_at_once(const char *text, size_t length);

// What an error code means on this platform, in words.
void describe_error(unsigned code, char *text, size_t size);

// What to do after a failure, for a person: `code` is the error code, or
// ANY_CODE for every code; `explain`, where given, writes a text that
// depends on what the failure names (`name`).
const unsigned ANY_CODE = 0xFFFFFFFFu;
struct failure_hint {
  const failure *about;
  unsigned code;
  const char *text;
  void (*explain)(const char *name, char *text, size_t size);
};
// The platform's own hints; hints.cpp adds those that hold everywhere.
extern const failure_hint PLATFORM_HINTS[];
extern const size_t PLATFORM_HINT_COUNT;
inline const char NO_SUCH_FILE[] =
    "No such file: check the path, which is taken from the current folder.";

// Prints the serial ports this machine has, one a line: the name to give
// as the port, then a description where the system has one. Opens no port
// and lists only what could be opened. Returns how many it printed.
int list_serial_ports();
