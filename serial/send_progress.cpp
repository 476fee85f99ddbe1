#include "send_progress.h"

#include <cstdio>

#include "../driver/terminal.h"

using progress_clock = std::chrono::steady_clock;

// Pieces are sized so that each write takes about a redraw's time at the
// line's real speed: small at 9600 baud, large on a fast line.
static const DWORD FIRST_PIECE = 1024;
static const DWORD SMALLEST_PIECE = 64;
static const DWORD LARGEST_PIECE = 1u << 20;
static const auto REDRAW = std::chrono::milliseconds(100);
static const auto QUICK_PIECE = std::chrono::milliseconds(25);
static const size_t SIZE_TEXT = 16;

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

static void draw(send_progress *progress, uint32_t done, progress_clock::time_point now) {
  double elapsed = seconds(now - progress->started);
  double rate = done / elapsed;
  unsigned left = rate > 0 ? (unsigned)((progress->total - done) / rate + 0.5) : 0;
  char sent[SIZE_TEXT], total[SIZE_TEXT], speed[SIZE_TEXT];
  format_size(done, sent);
  format_size(progress->total, total);
  format_size(rate, speed);
  show_status("sending %s of %s  %3u%%  %s/s  %u:%02u left", sent, total,
              (unsigned)((uint64_t)done * 100 / progress->total), speed, left / 60, left % 60);
  progress->drawn = true;
  progress->last_drawn = now;
}

void begin_progress(send_progress *progress, uint32_t total) {
  progress->watched = terminal_watches();
  progress->drawn = false;
  progress->total = total;
  progress->piece = FIRST_PIECE;
  if (progress->watched)
    progress->started = progress->piece_started = progress->last_drawn = progress_clock::now();
}

DWORD next_piece(send_progress *progress, uint32_t left) {
  if (!progress->watched || left < progress->piece)
    return left;
  return progress->piece;
}

void piece_written(send_progress *progress, uint32_t done) {
  if (!progress->watched)
    return;
  progress_clock::time_point now = progress_clock::now();
  auto took = now - progress->piece_started;
  if (took < QUICK_PIECE && progress->piece < LARGEST_PIECE)
    progress->piece *= 2;
  else if (took > REDRAW && progress->piece > SMALLEST_PIECE)
    progress->piece /= 2;
  progress->piece_started = now;
  // A send that ends within a redraw's time shows nothing.
  if (done < progress->total && now - progress->last_drawn >= REDRAW)
    draw(progress, done, now);
}

void end_progress(send_progress *progress) {
  if (progress->drawn)
    clear_status();
}
