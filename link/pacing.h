// How bytes go to the port when a person watches or a write time-out is
// asked: in pieces, each written once the driver holds no more than a
// piece, so that no write blocks for long and what has left the port
// (written less queued) can be shown; and judged by what leaves the port.
// The driver's queue figure is advice: one that does not move while writes
// are taken is dropped, and the bytes then go as plain writes. The port's
// answers come through `port_answers`, so that a table of ports can drive
// these decisions.
#pragma once

#include <windows.h>

#include <cstdint>

struct port_answers {
  // What the port took of `count` bytes: none after a slice of a write
  // time-out (or a failure, which the real port ends the run for itself).
  DWORD (*write)(const BYTE *bytes, DWORD count);
  bool (*queued)(DWORD *bytes); // the driver's output queue; false where it does not tell
  uint64_t (*now_ms)();
  void (*pause_ms)(DWORD ms);
};

struct pacing_choices {
  uint32_t line_rate;               // bytes a second at the line's settings
  DWORD write_limit_ms;             // nothing leaving for this long fails; 0: no limit
  void (*left_port)(uint32_t left); // what has left, at most ten times a second; may be null
};

enum paced_outcome { PACED_SENT, PACED_TIMED_OUT };

// What the pacing knows between pieces.
struct pacing {
  port_answers port;
  pacing_choices choices;
  uint32_t piece;
  uint32_t written, left;
  bool trusted;   // the queue figure is asked and believed
  bool probing;   // the next write tests a figure that has not moved
  DWORD queued;   // the figure at the last look
  DWORD transfer; // what the figure counts for each write it holds (cdc_acm); 0: bytes
  int unmoved;    // writes taken in a row that the figure did not show
  uint64_t started_ms, progress_ms, figure_ms, shown_ms;
};

void begin_pacing(pacing *paced, const port_answers &port, const pacing_choices &choices);
paced_outcome send_in_pieces(pacing *paced, const BYTE *bytes, uint32_t length);
// Waits while the queue figure falls to nothing; the platform's own drain
// (FlushFileBuffers) follows, for what no figure shows.
paced_outcome drain_in_pieces(pacing *paced);
