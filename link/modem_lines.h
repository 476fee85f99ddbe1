// DTR and RTS as a run drives them to put a board into its boot loader and
// out again (--reset): steps that set one line, or two at once, and waits.
// Levels are logical: asserted is a low pin on a TTL adapter.
#pragma once

#include <windows.h>

const int LINE_KEPT = -1; // a step leaves the line as it is

struct line_step {
  int dtr;       // 1 asserted, 0 cleared, or LINE_KEPT
  int rts;       //
  DWORD wait_ms; // a wait, where both lines are kept
};

const int MOST_LINE_STEPS = 32;

struct line_sequence {
  int count;
  line_step steps[MOST_LINE_STEPS];
};

bool drives_dtr(const line_sequence &sequence);
bool drives_rts(const line_sequence &sequence);

// Sets the lines as each step says, in order; a port that refuses ends the
// run.
void run_line_sequence(const line_sequence &sequence);
