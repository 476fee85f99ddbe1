#pragma once

#include <cstdarg>

// After a failure message, for a person at a terminal: what the error code
// means on this platform and what to do. `format` and `values` are the
// message's, as given to report_and_exit. Prints nothing elsewhere.
void explain_failure(const char *format, va_list values);
