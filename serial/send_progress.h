// Progress of a long send, for a person at a terminal: bytes sent of the
// total, a percentage, the rate and the time left, redrawn in place at most
// ten times a second and erased when the send is done. Where no terminal
// watches, the whole buffer goes in one write, as it always did.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>

struct send_progress {
  bool watched;
  bool drawn;
  uint32_t total;
  DWORD piece; // how much the next write takes
  std::chrono::steady_clock::time_point started;
  std::chrono::steady_clock::time_point piece_started;
  std::chrono::steady_clock::time_point last_drawn;
};

void begin_progress(send_progress *progress, uint32_t total);
DWORD next_piece(send_progress *progress, uint32_t left);
void piece_written(send_progress *progress, uint32_t done);
void end_progress(send_progress *progress);
