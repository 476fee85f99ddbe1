// A one-line status for a person, drawn in place on standard error and only
// when standard error is a terminal, so that scripts see exactly what they
// always saw.
#pragma once

// Whether a person watches standard error (asked of the platform once).
bool terminal_watches();
void show_status(const char *format, ...);
void clear_status(); // erases the status line, if one is shown
