// report_and_exit: how every failure, in every layer, ends the run.
#pragma once

#include <cstdarg>

#include "failures.h"

// Prints the failure's message on standard output, formatted by printf with
// the values that follow (the row is passed by pointer, as va_start takes no
// reference), and ends the process with exit status 2 through the one way
// out (way_out.h).
[[noreturn]] void report_and_exit(const failure *what, ...);

// A routine that adds to a failure's message before the run ends, given the
// message's values. The program's entry installs its hints for a person at
// a terminal here, once, so that every layer fails through report_and_exit
// without knowing of them.
typedef void (*failure_follow_up)(const failure *what, va_list values);
void follow_failures_with(failure_follow_up follow_up);

// The platform error code of the call that just failed, for a "%u".
unsigned last_error_code();
