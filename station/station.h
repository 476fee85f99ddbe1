// A station: boards loaded as they are plugged in, side by side, each in a
// run of its own (a child process of this same program), each loaded once.
// A slot is a place: the USB location of a USB port, or a port's name as
// given. The station watches for boards, starts a run for each that comes,
// prefixes each line a run prints with its slot, keeps a JSON Lines log
// and a tally, and draws a view for the person at the line.
#pragma once

#include <string>
#include <vector>

struct station_setup {
  std::string ports;                // the comma-separated list, as given
  std::vector<std::string> options; // the options each board's run is given, as given
  const char *settings = nullptr;
  const char *image = nullptr;
  const char *programming_file = nullptr;
  const char *log = nullptr;          // --report: a JSON Lines log, a line a board; or null
  std::string log_given;              // the option as given, for a refusal
  const char *trace_folder = nullptr; // --trace: a trace a board in this folder; or null
  std::string trace_given;
  int count = 0; // --count: ends once this many have passed; 0: no such end
};

// Runs the station until it is stopped, or until --count boards have
// passed, and ends the process: status 0 when every board that came
// passed, 2 when any failed or was stopped.
[[noreturn]] void run_station(const station_setup &setup);
