#include "sending.h"

#include <windows.h>

#include <chrono>

#include "../base/report.h"
#include "../base/run_record.h"
#include "send_progress.h"
#include "serial_port.h"

using pace_clock = std::chrono::steady_clock;

// While a person watches, the bytes go to the port in pieces, each only
// once the driver holds no more than a piece: no write then blocks for long
// (a writer blocked on an 8250 wakes only once its 4 KiB buffer is nearly
// empty, over 4 s at 9600), and what has left the port, written less
// queued, can be shown as it leaves. On Windows a write completes once its
// bytes have gone to the line, so a piece of a redraw's worth paces itself.
// No time-out of the port is touched: nothing of the drawing outlives the
// run. A piece starts at a redraw's worth at the line's speed. It doubles
// while the port takes it at once and keeps nothing, once the port has
// shown itself far faster than its speed (a pseudo-terminal, a fast USB
// device): more than any driver's buffer has left, at many times the
// line's rate. A write that blocked long shrinks it to a redraw's worth.
static const DWORD QUEUE_POLL_MS = 20;
static const uint32_t LARGEST_PIECE = 64 * 1024; // as dd's blocks: a piece stays in the cache
static const uint32_t FAST_PROOF_BYTES = 64 * 1024;
static const uint32_t FAST_FACTOR = 4;
static const std::chrono::milliseconds REDRAW(REDRAW_MS);

static uint32_t written_so_far = 0;
static uint32_t left_so_far = 0;
static pace_clock::time_point watch_started;

static bool proven_fast() {
  double seconds = std::chrono::duration<double>(pace_clock::now() - watch_started).count();
  return left_so_far >= FAST_PROOF_BYTES &&
         left_so_far > FAST_FACTOR * seconds * line_bytes_per_second();
}

static uint32_t smallest_piece() {
  return line_bytes_per_second() / (1000 / REDRAW_MS) + 1;
}

static uint32_t next_piece(uint32_t piece, pace_clock::duration writing, pace_clock::duration turn,
                           DWORD queued) {
  if (queued == 0 && turn < REDRAW / 4 && proven_fast())
    return piece < LARGEST_PIECE / 2 ? piece * 2 : LARGEST_PIECE;
  if (writing <= REDRAW)
    return piece;
  uint64_t shrunk =
      (uint64_t)piece * REDRAW_MS /
      (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(writing).count();
  return shrunk > smallest_piece() ? (uint32_t)shrunk : smallest_piece();
}

// Shows what has left the port and gives what the driver still holds. A
// USB driver counts its transfers as whole, so the figure never goes back.
static DWORD show_what_left() {
  DWORD queued = output_queued();
  uint32_t left = queued < written_so_far ? written_so_far - queued : 0;
  if (left > left_so_far)
    left_so_far = left;
  show_progress(left_so_far);
  return queued;
}

// Waits, drawing, until the driver holds no more than `most`; gives what
// it holds then.
static DWORD wait_for_queue(DWORD most) {
  DWORD queued, least = MAXDWORD;
  pace_clock::time_point moved = pace_clock::now();
  while ((queued = show_what_left()) > most) {
    if (queued < least) {
      least = queued;
      moved = pace_clock::now();
    }
    // Nothing left the port for as long as a write may wait.
    if (write_time_limit() != 0 &&
        pace_clock::now() - moved >= std::chrono::milliseconds(write_time_limit()))
      report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
    Sleep(QUEUE_POLL_MS);
  }
  return queued;
}

static void send_watched(const BYTE *bytes, uint32_t length) {
  uint32_t piece = smallest_piece();
  for (uint32_t done = 0; done < length;) {
    pace_clock::time_point started = pace_clock::now();
    DWORD written = write_to_port(bytes + done, length - done < piece ? length - done : piece);
    pace_clock::duration writing = pace_clock::now() - started;
    done += written;
    written_so_far += written;
    DWORD queued = wait_for_queue(piece);
    piece = next_piece(piece, writing, pace_clock::now() - started, queued);
  }
}

void send_bytes(const void *data, uint32_t length) {
  const BYTE *bytes = static_cast<const BYTE *>(data);
  if (progress_shown())
    send_watched(bytes, length);
  else
    for (uint32_t done = 0; done < length;)
      done += write_to_port(bytes + done,
                            length - done < LARGEST_PIECE ? length - done : LARGEST_PIECE);
  bytes_sent += length;
}

// A write returns once the driver holds the bytes, not once they have left:
// only this waits for the line, for as long as it takes (a hang-up ends
// it, and a write time-out where one was asked), drawing what has left
// meanwhile.
void wait_until_sent() {
  if (progress_shown() || write_time_limit() != 0)
    wait_for_queue(0);
  if (!FlushFileBuffers(serial_port))
    report_and_exit(&WRITE_FAILED, port_name, last_error_code());
}

void watch_sending(uint32_t total) {
  begin_progress(total);
  written_so_far = 0;
  left_so_far = 0;
  watch_started = pace_clock::now();
}

void end_watching() {
  end_progress();
}
