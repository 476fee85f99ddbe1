// What happens to a station, told by the threads that see it to the
// station's own loop, which alone acts on it: ports that came or went, what
// a board's run printed and how far it came, a run that ended, a stop that
// was asked.
#pragma once

#include <string>

enum station_event_kind {
  PORTS_CHANGED, // the system told of ports that came or went
  RUN_PRINTED,   // a line a board's run printed on its standard output
  RUN_WARNED,    // a line it wrote on its standard error that is no progress
  RUN_PROGRESS,  // a line of its progress (JSON)
  RUN_ENDED,     // it ended, with its exit status
  STOP_ASKED,    // Ctrl-C (`interrupt`), or a stop meant at once
};

struct station_event {
  station_event_kind kind;
  int run;          // the board's number, for a run's events
  std::string text; // a line, or who asked for the stop
  int status;       // a run's exit status
  bool interrupt;
};

// Tells the loop; any thread may, but no signal handler.
void tell_station(const station_event &event);
// Gives the next event, waiting up to `wait_ms` for one (-1: until one
// comes); false where none came.
bool next_station_event(station_event *event, int wait_ms);
