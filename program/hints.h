#pragma once

#include <cstdarg>

#include "../base/failures.h"

// After a failure message, for a person at a terminal: the message again
// where standard output is not that terminal (so that it is clear what the
// rest is about), what the error code means on this platform, and what to
// do. `values` are the message's. Prints nothing elsewhere.
void explain_failure(const failure &what, va_list values);
