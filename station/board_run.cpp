// Starting a board's run, and a thread that follows it to its end.
#include "board_run.h"

#include <system_error>
#include <thread>

#include "events.h"

// The station's own records and view: each run is given its own, and the
// environment's would send every run to one file.
static const std::vector<std::string> STATION_VARIABLES = {"TARVICK_TRACE", "TARVICK_REPORT",
                                                           "TARVICK_PROGRESS"};

// Tells each whole line read from `pipe`, without its line end (LF, or CR
// LF from a Windows run); what is left at the end is a line too.
static void tell_lines(int run, intptr_t pipe, bool output) {
  std::string pending;
  char buffer[4096];
  for (long got; (got = read_from_child(pipe, buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, (size_t)got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      station_event_kind kind = output ? RUN_PRINTED : line[0] == '{' ? RUN_PROGRESS : RUN_WARNED;
      tell_station({kind, run, line, 0, false});
    }
  }
  if (!pending.empty())
    tell_station({output ? RUN_PRINTED : RUN_WARNED, run, pending, 0, false});
}

// Every line is told before the ending, so that the log and the output
// agree.
static void follow(int run, child_process child) {
  std::thread errors;
  try {
    errors = std::thread(tell_lines, run, child.errors, false);
  } catch (const std::system_error &) {
  }
  tell_lines(run, child.output, true);
  if (errors.joinable())
    errors.join();
  tell_station({RUN_ENDED, run, "", wait_for_child(child), false});
}

bool start_board_run(int run, const std::vector<std::string> &args, child_process *child) {
  if (!start_child(args, STATION_VARIABLES, child))
    return false;
  try {
    std::thread(follow, run, *child).detach();
  } catch (const std::system_error &) {
    stop_child(*child, false);
    tell_station({RUN_ENDED, run, "", wait_for_child(*child), false});
  }
  return true;
}
