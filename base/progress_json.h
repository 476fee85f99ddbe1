// Progress as JSON lines on standard error (--progress=json), for a program
// that shows it: a station's view, an IDE, a script. A line each time
// something moved, at most ten a second, and one at the end:
//   {"phase":"upload","attempt":1,"bytes_sent":4096,"total":65536,"lines_done":0}
// phase is "starting", then the report's phase names; bytes_sent counts
// what the port took, programming lines included; total is the image's
// size. A thread of its own writes them: the sending never waits for it.
#pragma once

void start_progress_json();
// Writes the last line and ends the thread; the way out calls it.
void stop_progress_json();
