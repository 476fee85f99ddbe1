// The upload's progress, rendered on the drawing thread from the count the
// sending leaves.
#include "send_progress.h"

#include <atomic>
#include <chrono>
#include <cstdio>

#include "../base/status_line.h"

using progress_clock = std::chrono::steady_clock;

static const size_t SIZE_TEXT = 16;
static const double LONGEST_LEFT = 99 * 3600; // seconds; a stalled line shows no more
static const double STALLED_AFTER = 3;        // seconds without a byte leaving
static const double LOG_EVERY = 10;           // seconds, in a log, or a tenth of the bytes

static bool shown = false;
static std::atomic<uint32_t> left_now(0);
// The drawing thread alone keeps these, once the upload has begun.
static uint32_t total_bytes = 0;
static progress_clock::time_point started;
static progress_clock::time_point last_logged;
static progress_clock::time_point last_moved;
static uint32_t moved_to = 0;
static unsigned logged_tenths = 0;

static double seconds(progress_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

static void format_size(double bytes, char *text) {
  if (bytes < 1024)
    snprintf(text, SIZE_TEXT, "%.0f B", bytes);
  else if (bytes < 1024 * 1024)
    snprintf(text, SIZE_TEXT, "%.1f KiB", bytes / 1024);
  else
    snprintf(text, SIZE_TEXT, "%.1f MiB", bytes / (1024 * 1024));
}

// A log takes a line every tenth of the way, or every ten seconds.
static bool log_due(uint32_t done, progress_clock::time_point now) {
  unsigned tenths = (unsigned)((uint64_t)done * 10 / total_bytes);
  if (tenths <= logged_tenths && seconds(now - last_logged) < LOG_EVERY)
    return false;
  logged_tenths = tenths;
  last_logged = now;
  return true;
}

// The time left and the rate are the first to go in a narrow window. A line
// on which nothing has left for a while says so rather than count a time
// left that only grows. An upload that ends within a redraw's time shows
// nothing.
static bool render(char *line, size_t size, bool logged) {
  progress_clock::time_point now = progress_clock::now();
  uint32_t done = left_now;
  if (now - started < std::chrono::milliseconds(REDRAW_MS) || (logged && !log_due(done, now)))
    return false;
  if (done != moved_to) {
    moved_to = done;
    last_moved = now;
  }
  double rate = done / seconds(now - started);
  double left = rate > 0 ? (total_bytes - done) / rate + 0.5 : LONGEST_LEFT;
  unsigned left_seconds = (unsigned)(left < LONGEST_LEFT ? left : LONGEST_LEFT);
  char sent[SIZE_TEXT], total[SIZE_TEXT], speed[SIZE_TEXT];
  format_size(done, sent);
  format_size(total_bytes, total);
  format_size(rate, speed);
  unsigned percent = (unsigned)((uint64_t)done * 100 / total_bytes);
  double still = seconds(now - last_moved);
  if (still >= STALLED_AFTER)
    snprintf(line, size, "sending %s of %s\t  %3u%%\t  stalled for %.0f s", sent, total, percent,
             still < LONGEST_LEFT ? still : LONGEST_LEFT);
  else
    snprintf(line, size, "sending %s of %s\t  %3u%%\t  %s/s\t  %u:%02u left", sent, total, percent,
             speed, left_seconds / 60, left_seconds % 60);
  return true;
}

bool begin_progress(uint32_t total) {
  shown = (status_drawn() || status_logged()) && total > 0;
  if (!shown)
    return false;
  left_now = 0;
  total_bytes = total;
  started = last_logged = last_moved = progress_clock::now();
  moved_to = 0;
  logged_tenths = 0;
  show_status_by(render);
  return true;
}

void show_progress(uint32_t left_port) {
  left_now = left_port;
}

void end_progress() {
  if (shown)
    clear_status();
  shown = false;
}
