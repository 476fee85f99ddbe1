// Every way a run can fail, one row each: the message that goes to standard
// output and what its name ("%s") stands for. Hints for a person at a
// terminal are keyed by the row, so a message and its hints cannot drift
// apart. The messages are exact: scripts match them, odd wording included.
#pragma once

#include <cstdarg>

// Every failure ends the run with this status.
const int FAILURE_STATUS = 2;

enum failure_subject { NAMES_NOTHING, NAMES_PORT, NAMES_FILE, NAMES_OPTION };

struct failure {
  const char *message; // printf format: the name ("%s") first, then the code ("%u")
  failure_subject subject;
};

// Reads a failure's values, those given to its message: the name it names
// ("%s", first; null where it names none) and its code ("%u", after it).
// Returns false where the message has no code, and leaves `code` alone then.
bool failure_values(const failure *what, va_list values, const char **name, unsigned *code);

extern const failure USAGE;
extern const failure OPEN_PORT_FAILED;
extern const failure GET_TIMEOUTS_FAILED;
extern const failure SET_TIMEOUTS_FAILED;
extern const failure GET_CONFIG_FAILED;
extern const failure CONFIG_ERROR;
extern const failure SET_CONFIG_FAILED;
extern const failure WRITE_FAILED;
extern const failure READ_FAILED;
extern const failure NOTHING_READ;
extern const failure SYNC_FAILED;
extern const failure OPEN_FILE_FAILED;
extern const failure FILE_INFORMATION_FAILED;
extern const failure FILE_TOO_LONG;
extern const failure NO_MEMORY;
extern const failure READ_FILE_FAILED;
extern const failure OPTION_REFUSED;
extern const failure NO_MODEM_LINES;
extern const failure LINE_IN_HANDSHAKE;
extern const failure PORT_REFUSED;
