// A one-line status for a person, drawn in place on standard error and only
// when standard error is a terminal and this run is in its foreground, so
// that scripts see exactly what they always saw. A thread of its own draws
// it: a terminal that stops taking output (Ctrl-S, a slow remote session)
// holds only that thread, never the sending, and a frame that cannot go is
// replaced by the next one, never queued behind it.
#pragma once

#include <cstddef>

// Whether a person watches standard error (asked of the platform once).
bool terminal_watches();

// How statuses and progress show: drawn in place where a person watches
// (the default), as plain lines where standard error is not a terminal
// (--progress=log; a terminal still has them drawn), not at all
// (--progress=off), or as JSON lines for a program that shows them
// (--progress=json, progress_json.h), and then nothing is drawn.
enum progress_mode { PROGRESS_DRAWN, PROGRESS_LOGGED, PROGRESS_OFF, PROGRESS_JSON };
progress_mode progress_shown_as();
void show_progress_as(progress_mode mode);
bool status_drawn();
bool status_logged();
// Starts the drawing thread where anything may be drawn, so that the
// first status shows at once.
void prepare_drawing();

// Shows the status line, fitted to the terminal's width as it is when the
// line is drawn: a tab in the text marks where the line may be cut, and the parts
// after the last tab go first. Logged, it is one plain line.
void show_status(const char *format, ...);
// Shows a status that is made anew each tenth of a second while it stands
// (the progress):
// `render` writes it into `line` and gives whether to draw it now (a log
// takes a line only now and then).
typedef bool (*status_renderer)(char *line, size_t size, bool logged);
void show_status_by(status_renderer render);
// Erases the status line. Where standard output is a terminal too, and
// the terminal takes output at once, it returns once the line is gone (a
// moment at the most), so that what the run prints next stands where the
// line stood; a terminal that does not (Ctrl-S) holds nothing.
void clear_status();
// Says whole lines to the person (a trace at the terminal, what a failure
// means); they are written between statuses, never on the status's row.
void say_on_screen(const char *text, size_t length);
// The first error that what was said met on its way to the terminal (a
// terminal that has gone), or that it was still waiting when the drawing
// was given up; 0 while none.
unsigned screen_error();
// Called by the way out: the thread erases the line, writes what is still
// to be said, and ends. It is given a moment (200 ms), and where a terminal
// that takes nothing (Ctrl-S) holds it longer, it is left behind with the
// line, and what it still had to say counts as not said.
void stop_drawing();
// Called from a signal handler or a console control handler when the run
// is being stopped: nothing is drawn any more, and the line is erased where
// the terminal takes it at once.
void erase_status_at_once();
