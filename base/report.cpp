// The failure path that every layer calls: the message on standard output,
// the hints at a terminal, then the way out with status 2.
#include "report.h"

#include <windows.h>

#include <cstdio>

#include "run_record.h"
#include "status_line.h"
#include "way_out.h"

static failure_follow_up follow_up = NULL;

void follow_failures_with(failure_follow_up follow) {
  follow_up = follow;
}

void report_and_exit(const failure *what, ...) {
  clear_status();
  va_list values;
  va_start(values, what);
  va_list shown;
  va_copy(shown, values);
  vprintf(what->message, shown);
  va_end(shown);
  // The message first, then what a person at a terminal may want to know.
  fflush(stdout);
  if (follow_up != NULL)
    follow_up(what, values);
  note_failure(what, values);
  va_end(values);
  leave(FAILURE_STATUS);
}

unsigned last_error_code() {
  return (unsigned)GetLastError();
}
