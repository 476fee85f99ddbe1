// The trace (--trace=FILE): a line for each event as it happens. Lines wait
// in a buffer, so that 20,000 programming lines cost no more than 20,000
// copies, and go out at each phase and at the end; to standard error ("-")
// as they come, between the status line's frames where that is drawn. A
// stop writes out what waits, and its own last line.
#pragma once

#include <cstddef>

// Makes the trace's file; gives null, or why it cannot be written there.
const char *open_trace(const char *path);
bool trace_open();
// A whole line, its line end included.
void add_trace_line(const char *line, size_t length);
// Writes out what waits.
void write_out_trace();
// The first error a line of the trace met on its way out; 0 while none has.
unsigned trace_error();
// From a stop, with plain system calls: what waits, then `last`.
void write_out_trace_at_once(const char *last, size_t length);
