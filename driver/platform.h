// What the driver needs to know of the platform for a person at a terminal.
// One source file a platform provides it: platform_posix.cpp for Linux and
// macOS, platform_windows.cpp for Windows.
#pragma once

#include <cstddef>

// Whether standard error is a terminal (a console on Windows): only then is
// anything drawn or explained on it.
bool error_is_terminal();

// What an error code means on this platform, in words.
void describe_error(unsigned code, char *text, size_t size);

// What to do after a failure message: `message` is the message's format as
// passed to report_and_exit; `about_port` whether its name is the port's;
// `code` the error code, or ANY_CODE for every code.
const unsigned ANY_CODE = 0xFFFFFFFFu;
enum hint_subject { ABOUT_PORT, ABOUT_FILE, ABOUT_EITHER };
struct failure_hint {
  const char *message;
  hint_subject subject;
  unsigned code;
  const char *text;
};
extern const failure_hint FAILURE_HINTS[];

// The platform's own hints; hints.cpp adds those that hold everywhere.
inline const char NO_SUCH_FILE[] =
    "No such file: check the path, which is taken from the current folder.";
extern const size_t FAILURE_HINT_COUNT;

// Prints the serial ports this machine has, one a line: the name to give
// as the port, then a description where the system has one. Opens no port.
// Returns how many it printed.
int list_serial_ports();
