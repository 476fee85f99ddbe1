#pragma once

// Prints a printf-formatted message on standard output and ends the process
// with exit status 2, the one way every failure leaves the program.
[[noreturn]] void report_and_exit(const char *format, ...);

// The platform error code of the call that just failed, for a "%u".
unsigned last_error_code();
