#include "send_progress.h"

#include <chrono>
#include <cstdio>

#include "../base/status_line.h"

using progress_clock = std::chrono::steady_clock;

static const size_t SIZE_TEXT = 16;
static const double LONGEST_LEFT = 99 * 3600; // seconds; a stalled line shows no more
static const double STALLED_AFTER = 3;        // seconds without a byte leaving
static const double LOG_EVERY = 10;           // seconds, in a log, or a tenth of the bytes

static bool shown = false;
static bool drawn = false;
static uint32_t total_bytes = 0;
static progress_clock::time_point started;
static progress_clock::time_point last_drawn;
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

// The time left and the rate are the first to go in a narrow window. A line
// on which nothing has left for a while says so rather than count a time
// left that only grows.
static void draw(uint32_t done, progress_clock::time_point now) {
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
    show_status("sending %s of %s\t  %3u%%\t  stalled for %.0f s", sent, total, percent,
                still < LONGEST_LEFT ? still : LONGEST_LEFT);
  else
    show_status("sending %s of %s\t  %3u%%\t  %s/s\t  %u:%02u left", sent, total, percent, speed,
                left_seconds / 60, left_seconds % 60);
  drawn = true;
  last_drawn = now;
}

bool begin_progress(uint32_t total) {
  shown = (status_drawn() || status_logged()) && total > 0;
  logged_tenths = 0;
  drawn = false;
  total_bytes = total;
  started = last_drawn = last_moved = progress_clock::now();
  moved_to = 0;
  return shown;
}

bool progress_shown() {
  return shown;
}

// An upload that ends within a redraw's time shows nothing.
void show_progress(uint32_t left_port) {
  if (!shown)
    return;
  progress_clock::time_point now = progress_clock::now();
  if (status_logged()) {
    unsigned tenths = (unsigned)((uint64_t)left_port * 10 / total_bytes);
    if (tenths > logged_tenths || seconds(now - last_drawn) >= LOG_EVERY) {
      logged_tenths = tenths;
      draw(left_port, now);
    }
  } else if (now - last_drawn >= std::chrono::milliseconds(REDRAW_MS)) {
    draw(left_port, now);
  }
}

void end_progress() {
  if (drawn)
    clear_status();
  shown = false;
  drawn = false;
}
