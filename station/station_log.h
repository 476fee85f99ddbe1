// The station's log (--report=FILE): JSON Lines, a line for each board's
// ending, that run's own report with the board's slot and number, and at
// the station's end a tally. Each line is appended in one write: a crash
// loses no line that was written, and never leaves half of one.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// How a board's run ended, from its report.
struct board_ending {
  nlohmann::ordered_json report; // the run's report, with "slot" and "board" first
  std::string outcome;           // "loaded", "failed" or "stopped"
  std::string message;           // a failure's message, or what stopped it
};

// Reads the report a board's run left at `path`, and removes it. A run that
// ended without finishing its report (killed, crashed, or stopped before it
// had begun one) failed, with its exit status; or, where the station had
// stopped it (`stopped_by` not empty), was stopped.
board_ending read_board_ending(const std::string &path, const std::string &slot, int board,
                               int status, const std::string &stopped_by);

// Appends a line to the log; false, said once on standard error, where it
// could not be written.
bool log_line(const char *path, const nlohmann::ordered_json &line);
