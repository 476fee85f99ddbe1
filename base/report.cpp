#include "report.h"

#include "../program/hints.h"
#include "status_line.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static const int FAILURE_STATUS = 2;

void report_and_exit(const failure &what, ...) {
  clear_status();
  va_list values;
  va_start(values, what);
  va_list shown;
  va_copy(shown, values);
  vprintf(what.message, shown);
  va_end(shown);
  // The message first, then what a person at a terminal may want to know.
  fflush(stdout);
  explain_failure(what, values);
  va_end(values);
  exit(FAILURE_STATUS); // a normal exit, so standard output is flushed
}

unsigned last_error_code() {
  return (unsigned)GetLastError();
}
