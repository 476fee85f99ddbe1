// Hints for a person at a terminal after a failure: those that hold on
// every platform (hints.cpp), and each platform's own (hints_posix.cpp,
// hints_windows.cpp), keyed by the failure's row and the error code.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "../base/failures.h"

// After a failure message, for a person at a terminal: the message again
// where standard output is not that terminal (so that it is clear what the
// rest is about), what the error code means on this platform, and what to
// do. `values` are the message's. Prints nothing elsewhere.
void explain_failure(const failure *what, va_list values);

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
inline const char WRITE_TIMED_OUT[] =
    "Nothing left the port for as long as --write-timeout allows: the target stopped reading, "
    "or flow control holds the line (CTS low with octs=on, an XOFF with xon=on).";
inline const char NO_SUCH_FILE[] =
    "No such file: check the path, which is taken from the current folder.";
