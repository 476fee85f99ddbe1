#include "report.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static const int FAILURE_STATUS = 2;

void report_and_exit(const char *format, ...) {
  va_list values;
  va_start(values, format);
  vprintf(format, values);
  va_end(values);
  exit(FAILURE_STATUS); // a normal exit, so standard output is flushed
}

unsigned last_error_code() {
  return (unsigned)GetLastError();
}
