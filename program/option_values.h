// The grammar of the options' values. Each reader gives null where `text`
// is taken, else why not, in words that complete "--name=value: ...".
#pragma once

#include <windows.h>

#include "../link/modem_lines.h"

// A duration with its unit: 250ms, 2s (0 alone is 0).
const char *read_duration(const char *text, DWORD *ms);
// A whole number.
const char *read_count(const char *text, int *count);
// ENTRY[:EXIT]: steps separated by commas, each a line (dtr, !dtr, rts,
// !rts), two lines set at once (dtr+!rts), or a wait (100ms); or, for the
// ENTRY, "touch" alone (the 1200-baud touch: `touch` set, no steps).
const char *read_reset(const char *text, line_sequence *entry, line_sequence *exit, bool *touch);
