// A one-line status for a person, drawn in place on standard error and only
// when standard error is a terminal, so that scripts see exactly what they
// always saw.
#pragma once

void show_status(const char *format, ...);
void clear_status(); // erases the status line, if one is shown
