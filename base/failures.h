// Every way a run can fail, one row each: the message that goes to standard
// output and what its name ("%s") stands for. Hints for a person at a
// terminal are keyed by the row, so a message and its hints cannot drift
// apart. The messages are exact: scripts match them, odd wording included.
#pragma once

#include <cstdarg>

enum failure_subject { NAMES_NOTHING, NAMES_PORT, NAMES_FILE, NAMES_OPTION };

struct failure {
  const char *message; // printf format: the name ("%s") first, then the code ("%u")
  failure_subject subject;
};

// What a failure's values ("values" as its message's) give: the name it
// names ("%s" first; null for none), and its code ("%u" after it); false
// where it has no code, leaving "code" as it was.
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
