#pragma once

// Feeds the programming file to the target one line at a time, printing a
// mark per reply, and ends the process: it does not return.
[[noreturn]] void program_lines(const char *path);
