#pragma once

#include <cstdarg>

#include "failures.h"

// Prints the failure's message, formatted by printf with the values that
// follow (a pointer, as va_start takes no reference), on standard output and ends the process with
// exit status 2 through the one way out (way_out.h).
[[noreturn]] void report_and_exit(const failure *what, ...);

// What the program adds after a failure's message, before the run ends
// (the hints for a person at a terminal), with the message's values.
// Installed once by the program's entry, so that every layer fails through
// report_and_exit without knowing of it.
typedef void (*failure_follow_up)(const failure *what, va_list values);
void follow_failures_with(failure_follow_up follow_up);

// The platform error code of the call that just failed, for a "%u".
unsigned last_error_code();
