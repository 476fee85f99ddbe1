// The trace's buffer and where it goes. The buffer is guarded by a lock of
// one atomic flag, which a stop also tries: on Windows the console's
// handler runs beside the main thread, on Linux and macOS a signal handler
// runs on it. The lock is held only to copy, never while writing.
#include "record_trace.h"

#include <atomic>
#include <cstring>
#include <thread>

#include "../platform/platform.h"
#include "../platform/record_files.h"
#include "status_line.h"

static const size_t TRACE_BUFFER = 1 << 16;
static const int STOP_TRIES = 100; // a millisecond apart

static record_place place = {};
static bool at_once = false;   // standard error: a line as it comes
static bool on_screen = false; // between the status line's frames
static char buffer[TRACE_BUFFER];
static std::atomic<size_t> length(0); // grows only once the line is in: a stop reads it
static std::atomic_flag taken = ATOMIC_FLAG_INIT;

static void take() {
  while (taken.test_and_set(std::memory_order_acquire))
    std::this_thread::yield();
}

static void let_go() {
  taken.clear(std::memory_order_release);
}

const char *open_trace(const char *path) {
  at_once = strcmp(path, "-") == 0;
  on_screen = at_once && status_drawn();
  return open_record_place(path, false, &place);
}

bool trace_open() {
  return place.kind != RECORD_NONE;
}

unsigned trace_error() {
  return place.error != 0 ? place.error : on_screen ? screen_error() : 0;
}

// Writes what was taken out of the buffer.
static void write_lines(const char *lines, size_t count) {
  if (count == 0)
    return;
  if (on_screen)
    say_on_screen(lines, count);
  else if (place.error == 0)
    write_to_stream(&place, lines, count);
}

void write_out_trace() {
  static char out[TRACE_BUFFER];
  take();
  size_t count = length;
  memcpy(out, buffer, count);
  length = 0;
  let_go();
  write_lines(out, count);
}

void add_trace_line(const char *line, size_t count) {
  if (count > TRACE_BUFFER)
    count = TRACE_BUFFER;
  take();
  bool full = length + count > TRACE_BUFFER;
  let_go();
  if (full)
    write_out_trace();
  take();
  memcpy(buffer + length, line, count);
  length += count;
  let_go();
  if (at_once)
    write_out_trace();
}

// The drawing thread draws no more: the stop writes straight to the file,
// or to standard error. Where the lock cannot be had (the main thread holds
// it under this handler, or another thread does not let go), what the
// buffer holds is written anyway: whole lines, as it only ever grows by
// whole lines.
void write_out_trace_at_once(const char *last, size_t count) {
  on_screen = false;
  bool held = false;
  for (int tries = 0; tries < STOP_TRIES && !(held = !taken.test_and_set()); tries++)
    Sleep(1);
  write_lines(buffer, length);
  length = 0;
  write_lines(last, count);
  if (held)
    let_go();
}
