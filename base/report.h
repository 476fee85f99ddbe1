#pragma once

#include "failures.h"

// Prints the failure's message, formatted by printf with the values that
// follow, on standard output and ends the process with exit status 2, the
// one way every failure leaves the program.
[[noreturn]] void report_and_exit(const failure &what, ...);

// The platform error code of the call that just failed, for a "%u".
unsigned last_error_code();
