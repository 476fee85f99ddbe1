// What the person at the line sees of a station, on standard error. At a
// terminal, a view drawn in place: a tally, then a line a slot with its
// board, its state and its time, drawn by a thread of its own, so that a
// terminal that stops taking output (Ctrl-S) holds neither the station nor
// a load. Elsewhere, a line for each event with the time (--progress=log,
// the default there), or a JSON object for each (--progress=json), or
// nothing (--progress=off).
#pragma once

#include <string>
#include <vector>

#include "../base/run_record.h"

struct view_row {
  std::string slot, identity, state;
  record_moment started;
  long long took_ms; // -1 while it runs: the time is counted from `started`
  bool timed;        // whether a time shows at all
};

struct view_tally {
  int passed, failed, stopped, loading;
  double per_hour; // boards done an hour; below 0 until one is done
};

void start_station_view();
// The view to draw from now on.
void show_station(const std::vector<view_row> &rows, const view_tally &tally);
// An event, where events are told: `what` is the kind ("came", "passed",
// "failed", "stopped", "went", "stopping"), `text` says it to a person.
void tell_station_event(const std::string &slot, const char *what, const std::string &text);
// A line for standard output, written whole; at a terminal that the view
// shares, it goes between two frames.
void print_station_line(const std::string &line);
// A line for standard error, likewise.
void say_station_line(const std::string &line);
// Draws the last frame, which stays, and ends the drawing thread.
void stop_station_view();
