// The decisions of the paced sending: when a piece goes, how large it is,
// what has left the port, and when a write time-out has passed.
#include "pacing.h"

#include "send_progress.h"

static const DWORD POLL_MS = 20;
// A figure that has not moved for this long is tested with a write.
static const DWORD PATIENCE_MS = 500;
static const uint32_t LARGEST_PIECE = 64 * 1024; // as dd's blocks: a piece stays in the cache
static const uint32_t FAST_PROOF_BYTES = 64 * 1024;
static const uint32_t FAST_FACTOR = 4;
// A figure that does not show this many writes in a row is dropped.
static const int UNMOVED_WRITES = 3;

// A redraw's worth of bytes at the line's speed leaves the port before the
// next frame.
static uint32_t smallest_piece(const pacing *paced) {
  return paced->choices.line_rate / (1000 / REDRAW_MS) + 1;
}

void begin_pacing(pacing *paced, const port_answers &port, const pacing_choices &choices) {
  *paced = pacing{};
  paced->port = port;
  paced->choices = choices;
  paced->piece = smallest_piece(paced);
  paced->trusted = true;
  uint64_t now = port.now_ms();
  paced->started_ms = paced->progress_ms = paced->figure_ms = paced->shown_ms = now;
}

static void show(pacing *paced, uint64_t now) {
  if (paced->choices.left_port == nullptr || now - paced->shown_ms < REDRAW_MS)
    return;
  paced->shown_ms = now;
  paced->choices.left_port(paced->left);
}

// The bytes the driver holds, by its figure: a driver that counts each
// write it holds as a whole transfer (cdc_acm counts 20 packets, 10,240
// bytes at high speed) holds about a piece for each.
static uint32_t held_bytes(const pacing *paced) {
  if (paced->transfer == 0)
    return paced->queued;
  return (uint32_t)((uint64_t)(paced->queued / paced->transfer) * paced->piece);
}

// Asks the driver's queue where its figure is believed, and shows what has
// left: written less queued, or, without a figure, what the port took. A
// figure that falls is bytes leaving. A port that cannot tell is not asked
// again; it never ends the run for that.
static void look(pacing *paced) {
  uint64_t now = paced->port.now_ms();
  DWORD queued = 0;
  if (paced->trusted && !paced->port.queued(&queued))
    paced->trusted = false;
  if (paced->trusted) {
    if (queued != paced->queued)
      paced->figure_ms = now;
    if (queued < paced->queued)
      paced->progress_ms = now;
    paced->queued = queued;
    uint32_t held = held_bytes(paced);
    uint32_t left = held < paced->written ? paced->written - held : 0;
    if (left > paced->left)
      paced->left = left;
  } else {
    paced->left = paced->written;
  }
  show(paced, now);
}

static bool timed_out(const pacing *paced) {
  return paced->choices.write_limit_ms != 0 &&
         paced->port.now_ms() - paced->progress_ms >= paced->choices.write_limit_ms;
}

// Waits while the driver holds more than a piece and its figure moves; a
// figure that stays put is tried with the next write.
static paced_outcome wait_for_room(pacing *paced) {
  for (look(paced); paced->trusted && held_bytes(paced) > paced->piece; look(paced)) {
    if (timed_out(paced))
      return PACED_TIMED_OUT;
    if (paced->port.now_ms() - paced->figure_ms >= PATIENCE_MS) {
      paced->probing = true;
      return PACED_SENT;
    }
    paced->port.pause_ms(POLL_MS);
  }
  return PACED_SENT;
}

// A write the port took counts as bytes leaving, except one that tested a
// figure that had not moved: an honest figure rises by what the port took (the line is
// stalled and the bytes wait in the driver), and one that stays put counts
// no bytes at all.
static void note_write(pacing *paced, DWORD taken, DWORD queued_before) {
  paced->written += taken;
  bool tried = paced->probing && paced->trusted;
  paced->probing = false;
  look(paced);
  if (taken == 0)
    return;
  // Into an empty queue, a figure that rises by more than the write counts
  // transfers, not bytes.
  if (paced->trusted && queued_before == 0 && paced->queued > taken)
    paced->transfer = paced->queued;
  if (tried && paced->queued != queued_before) {
    paced->unmoved = 0;
    return;
  }
  if (tried && ++paced->unmoved >= UNMOVED_WRITES)
    paced->trusted = false;
  paced->progress_ms = paced->port.now_ms();
}

static bool proven_fast(const pacing *paced, uint64_t now) {
  double seconds = (double)(now - paced->started_ms) / 1000;
  return paced->left >= FAST_PROOF_BYTES &&
         paced->left > FAST_FACTOR * seconds * paced->choices.line_rate;
}

// A piece doubles while the port takes it at once and keeps nothing, once
// the port has shown itself far faster than its speed (a pseudo-terminal, a
// fast USB device); a write that blocked long shrinks it to a redraw's worth.
static void size_next_piece(pacing *paced, uint64_t writing_ms, uint64_t turn_ms, uint64_t now) {
  uint32_t piece = paced->piece;
  if (paced->queued == 0 && turn_ms < REDRAW_MS / 4 && proven_fast(paced, now))
    piece = piece < LARGEST_PIECE / 2 ? piece * 2 : LARGEST_PIECE;
  else if (writing_ms > REDRAW_MS)
    piece = (uint32_t)((uint64_t)piece * REDRAW_MS / writing_ms);
  paced->piece = piece > smallest_piece(paced) ? piece : smallest_piece(paced);
}

paced_outcome send_in_pieces(pacing *paced, const BYTE *bytes, uint32_t length) {
  for (uint32_t done = 0; done < length;) {
    if (wait_for_room(paced) == PACED_TIMED_OUT)
      return PACED_TIMED_OUT;
    // Without a figure the bytes go as plain writes.
    uint32_t piece = paced->trusted ? paced->piece : LARGEST_PIECE;
    DWORD queued_before = paced->queued;
    uint64_t started = paced->port.now_ms();
    DWORD taken = paced->port.write(bytes + done, length - done < piece ? length - done : piece);
    uint64_t written = paced->port.now_ms();
    done += taken;
    note_write(paced, taken, queued_before);
    if (taken == 0 && timed_out(paced))
      return PACED_TIMED_OUT;
    size_next_piece(paced, written - started, paced->port.now_ms() - started, paced->port.now_ms());
  }
  return PACED_SENT;
}

paced_outcome drain_in_pieces(pacing *paced) {
  for (look(paced); paced->trusted && paced->queued > 0; look(paced)) {
    if (timed_out(paced))
      return PACED_TIMED_OUT;
    // Without a time-out the platform's drain waits for a figure that stays put.
    if (paced->choices.write_limit_ms == 0 &&
        paced->port.now_ms() - paced->figure_ms >= PATIENCE_MS)
      break;
    paced->port.pause_ms(POLL_MS);
  }
  return PACED_SENT;
}
