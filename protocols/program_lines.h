// Line programming: the exchange after the image.
#pragma once

#include <windows.h>

// Feeds the programming file to the target one line at a time, printing a
// mark per reply, until the file ends (with its summary) or the target has
// written what it was sent ("written OK"). A reply waits `reply_timeout_ms`
// at the most; 0: without limit.
void program_lines(const char *path, DWORD reply_timeout_ms = 0);
