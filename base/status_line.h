// A one-line status for a person, drawn in place on standard error and only
// when standard error is a terminal and this run is in its foreground, so
// that scripts see exactly what they always saw.
#pragma once

// Whether a person watches standard error (asked of the platform once).
bool terminal_watches();

// How statuses and progress show: drawn in place where a person watches
// (the default), as plain lines where standard error is not a terminal
// (--progress=log; a terminal still has them drawn), or not at all
// (--progress=off).
enum progress_mode { PROGRESS_DRAWN, PROGRESS_LOGGED, PROGRESS_OFF };
void show_progress_as(progress_mode mode);
bool status_drawn();
bool status_logged();
// Draws the status line, fitted to the terminal's width as it is now: a
// tab in the text marks where the line may be cut, and the parts after the
// last tab go first. Logged, it is one plain line.
void show_status(const char *format, ...);
void clear_status(); // erases the status line, if one is shown
// When the run is being stopped: draws no more, then erases the line once a
// frame being drawn is done (where the run is in the foreground), from a
// signal handler or a console control handler.
void erase_status_at_once();
