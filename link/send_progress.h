// Progress of the image upload, for a person at a terminal: the bytes that
// have left, the rate and the time left, redrawn ten times a second by the
// status line's own thread and erased when the upload is done. Nothing
// where no terminal watches, and nothing for a programming line. The
// sending only leaves its count here; it never waits for the screen.
#pragma once

#include <cstdint>

const uint32_t REDRAW_MS = 100; // the least time between two drawings

// Starts the progress of sending `total` bytes; false where nobody watches.
bool begin_progress(uint32_t total);
void show_progress(uint32_t left_port); // the bytes that have left the port so far
void end_progress();
