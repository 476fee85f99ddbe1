// The files a run's record goes to: the trace, written as the run goes, and
// the report, replaced whole. Every write here is made of plain system
// calls, so that a signal handler may make it too, and none waits for ever:
// a FIFO whose reader stops reading is given up. One source file a
// platform provides it: record_files_posix.cpp, record_files_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

const size_t RECORD_PATH_SIZE = 4096;

enum record_kind {
  RECORD_NONE,     // not asked for
  RECORD_STREAM,   // written as the run goes, or once: a file, a FIFO, a device, standard error
  RECORD_REPLACED, // replaced whole through a temporary file beside it
};

struct record_place {
  record_kind kind;
  intptr_t stream; // the open file of a stream
  // A replaced file, its symbolic links followed: the link stays and the
  // file it points to is replaced. `folder` is how much of it names the
  // folder, with its last separator.
  char path[RECORD_PATH_SIZE];
  size_t folder;
  unsigned error; // the first error a write met, 0 while there is none
};

// Whether a record may go to `path`, judged before anything is made: a
// folder, a name too long, and a link that open() would not follow to a
// file (one that leads nowhere, a loop) are refused; gives why, or null.
const char *record_place_refused(const char *path);

// Where `path` stands now: what record_place_refused refuses is refused
// (the reason, in words, is returned); a FIFO or a device is opened to be
// written directly, a FIFO with no reader refused. Where `whole` is false (a
// trace), any other file is made anew and written as the run goes, and "-"
// is standard error; where it is true (a report) it is replaced whole, and
// nothing is made yet. Gives null where the place is taken.
const char *open_record_place(const char *path, bool whole, record_place *place);

// Writes to a stream; a FIFO whose reader takes nothing for a few seconds
// is given up. False, with the place's error set, where the text did not go.
bool write_to_stream(record_place *place, const char *text, size_t length);

// Writes `parts` to a stream in turn.
inline bool write_parts(record_place *place, const char *const *parts, const size_t *lengths,
                        int count) {
  for (int i = 0; i < count; i++)
    if (!write_to_stream(place, parts[i], lengths[i]))
      return false;
  return true;
}

// Writes `parts` into a new temporary file of a name of its own in the
// file's folder (never one that something else holds) and renames it over
// the file, so that the file holds all of them or stays as it was; a
// stream is written directly. False, with the place's error set, where the
// file could not be written.
bool replace_whole(record_place *place, const char *const *parts, const size_t *lengths, int count);

// A stop may come while the run itself replaces a report: on Linux and
// macOS on the run's own thread, under whose unfinished temporary it
// removes; on Windows on a thread beside it, which waits a moment for the
// replacing to be done. Then the stop writes its own. Plain system calls.
void settle_replacing_for_a_stop();

// Whether two names are one file: the same device and file number where
// both are there, else the same name once their folders are resolved.
bool same_file(const char *first, const char *second);
