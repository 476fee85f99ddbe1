// The station's loop: its slots, the boards in them, a run for each board
// that comes, and its ending. Only this loop changes the slots; the threads
// beside it tell it what they see (events.h).
#include "station.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "../base/report.h"
#include "../base/way_out.h"
#include "../devices/port_watch.h"
#include "../platform/children.h"
#include "../platform/platform.h"
#include "board_run.h"
#include "events.h"
#include "slots.h"
#include "station_log.h"
#include "station_view.h"

using json = nlohmann::ordered_json;

static const long long LOOK_AT_NAMES_MS = 100; // names tell no event: they are looked at
static const long long LOOK_AFTER_EVENT_MS[] = {250, 1000}; // what the list did not show yet
static const long long LOOK_FOR_USABLE_MS = 50; // a board whose node may not be opened yet
// A finished board away this long has gone: one back sooner (a board that
// resets after its load) is the same board.
static const long long GONE_AFTER_MS = 1000;
static const size_t BRIEF = 40;

enum slot_state { SLOT_WAITING, SLOT_LOADING, SLOT_PASSED, SLOT_FAILED };

struct station_slot {
  std::string name; // usb@PLACE, or the name as given
  slot_state state;
  bool there;  // a board is in it now
  bool usable; // and its port may be opened
  std::string device, identity;
  bool away; // a finished board is not there since `away_since`
  record_moment away_since;
  int run; // the board's number, from its start on
  child_process child;
  record_moment started;
  long long took_ms;
  std::string progress;   // how far its run has come
  std::string message;    // how it failed, in brief
  std::string stopped_by; // where the station stopped its run
};

static station_setup setup;
static std::vector<port_wanted> patterns;
static std::vector<station_slot> slots;
static std::string reports_folder; // the runs' reports, until the log has them
static int boards = 0, passed = 0, failed = 0, stopped = 0;
static bool taking = true; // new boards are loaded
static bool log_lost = false;
static bool looked_at_now_and_then = false;   // names, or ports where no event tells of them
static record_moment first_board, last_ended; // the span the boards done took
static std::vector<record_moment> looks_due;

static station_slot new_slot(const std::string &name) {
  station_slot slot = {};
  slot.name = name;
  slot.state = SLOT_WAITING;
  slot.took_ms = -1;
  return slot;
}

static void look_in(long long ms) {
  looks_due.push_back(moment_now() + std::chrono::milliseconds(ms));
}

static station_slot *slot_named(const std::string &name) {
  for (station_slot &slot : slots)
    if (slot.name == name)
      return &slot;
  return nullptr;
}

static station_slot *slot_of_run(int run) {
  for (station_slot &slot : slots)
    if (slot.run == run)
      return &slot;
  return nullptr;
}

static bool any_loading() {
  for (const station_slot &slot : slots)
    if (slot.state == SLOT_LOADING)
      return true;
  return false;
}

static std::string state_text(const station_slot &slot) {
  switch (slot.state) {
  case SLOT_LOADING:
    return "loading: " + slot.progress;
  case SLOT_PASSED:
    return "passed, remove the board";
  case SLOT_FAILED:
    return "failed: " + slot.message + ", remove the board";
  default:
    return !slot.there ? "waiting" : slot.usable ? "waiting to load" : "waiting for the port";
  }
}

static void show_slots() {
  std::vector<view_row> rows;
  int loading = 0;
  for (const station_slot &slot : slots) {
    loading += slot.state == SLOT_LOADING;
    rows.push_back({slot.name, slot.there || slot.run > 0 ? slot.identity : "", state_text(slot),
                    slot.started, slot.state == SLOT_LOADING ? -1 : slot.took_ms,
                    slot.state != SLOT_WAITING});
  }
  int done = passed + failed + stopped;
  double hours = done > 0 ? ms_between(first_board, last_ended) / 3600000.0 : 0;
  show_station(rows, {passed, failed, stopped, loading, hours > 0 ? done / hours : -1});
}

// A name for a file: what a slot's name holds that a file's may not is
// made '_'.
static std::string file_name_of(const std::string &slot) {
  std::string name = slot;
  for (char &c : name)
    if (!isalnum((unsigned char)c) && c != '@' && c != '.' && c != '-')
      c = '_';
  return name;
}

static std::string report_of(int run) {
  return reports_folder + "/board-" + std::to_string(run) + ".json";
}

// The run is given the station's options, a report and a trace of its own,
// its progress as JSON, and the slot as its port (usb@PLACE for a USB
// board, so that it finds the board by its place, also after a touch).
static std::vector<std::string> run_arguments(const station_slot &slot) {
  std::vector<std::string> args = setup.options;
  args.push_back("--report=" + report_of(slot.run));
  args.push_back("--progress=json");
  if (setup.trace_folder != nullptr)
    args.push_back(std::string("--trace=") + setup.trace_folder + "/" + file_name_of(slot.name) +
                   "-" + std::to_string(slot.run) + ".trace");
  args.insert(args.end(), {"--", slot.name, setup.settings, setup.image});
  if (setup.programming_file != nullptr)
    args.push_back(setup.programming_file);
  return args;
}

static void start_run(station_slot *slot) {
  if (boards == 0)
    first_board = moment_now();
  slot->run = ++boards;
  slot->state = SLOT_LOADING;
  slot->started = moment_now();
  slot->took_ms = -1;
  slot->progress = "starting";
  slot->message.clear();
  slot->stopped_by.clear();
  tell_station_event(slot->name, "came",
                     "a board came" + (slot->identity.empty() ? "" : ": " + slot->identity));
  if (!start_board_run(slot->run, run_arguments(*slot), &slot->child))
    tell_station({RUN_ENDED, slot->run, "", FAILURE_STATUS, false});
}

// A slot's board as seen now, and what that does to the slot.
static void settle(station_slot *slot, const board_seen *board) {
  slot->there = board != nullptr;
  if (board != nullptr && slot->state != SLOT_LOADING) {
    slot->device = board->device;
    slot->identity = board->identity;
  }
  if (slot->state == SLOT_WAITING && board != nullptr && board->asked && taking) {
    slot->usable = port_may_be_opened(board->device.c_str());
    if (slot->usable)
      start_run(slot);
    else
      look_in(LOOK_FOR_USABLE_MS);
  } else if (slot->state == SLOT_PASSED || slot->state == SLOT_FAILED) {
    if (board != nullptr) {
      slot->away = false;
    } else if (!slot->away) {
      slot->away = true;
      slot->away_since = moment_now();
      look_in(GONE_AFTER_MS);
    } else if (ms_since(slot->away_since) >= GONE_AFTER_MS) {
      slot->state = SLOT_WAITING;
      slot->away = false;
      tell_station_event(slot->name, "went", "the board went");
    }
  }
}

// Reads what is there now, makes a slot for each USB board asked for at a
// place not seen before, and settles every slot.
static void look() {
  std::vector<board_seen> seen =
      boards_now(patterns, watches_usb(patterns) ? serial_ports_now() : std::vector<system_port>{},
                 [](const std::string &name) { return port_is_there(name); });
  for (const board_seen &board : seen)
    if (board.asked && slot_named(board.slot) == nullptr)
      slots.push_back(new_slot(board.slot));
  for (station_slot &slot : slots) {
    auto board = std::find_if(seen.begin(), seen.end(),
                              [&](const board_seen &one) { return one.slot == slot.name; });
    settle(&slot, board == seen.end() ? nullptr : &*board);
  }
  if (looked_at_now_and_then)
    look_in(LOOK_AT_NAMES_MS);
  show_slots();
}

static std::string brief(const std::string &text) {
  return text.size() > BRIEF ? text.substr(0, BRIEF - 3) + "..." : text;
}

static void end_run(station_slot *slot, int status) {
  last_ended = moment_now();
  slot->took_ms = ms_between(slot->started, last_ended);
  board_ending ending =
      read_board_ending(report_of(slot->run), slot->name, slot->run, status, slot->stopped_by);
  bool loaded = ending.outcome == "loaded";
  passed += loaded;
  stopped += ending.outcome == "stopped";
  failed += ending.outcome == "failed";
  slot->state = loaded ? SLOT_PASSED : SLOT_FAILED;
  slot->message = brief(ending.message);
  if (setup.log != nullptr && !log_line(setup.log, ending.report))
    log_lost = true;
  char took[32];
  snprintf(took, sizeof took, " in %.1f s", slot->took_ms / 1000.0);
  tell_station_event(slot->name, loaded ? "passed" : ending.outcome.c_str(),
                     (loaded ? "passed" : ending.outcome) + took +
                         (ending.message.empty() ? "" : ": " + ending.message));
  if (setup.count > 0 && passed >= setup.count)
    taking = false;
}

static void note_progress(station_slot *slot, const std::string &line) {
  json progress = json::parse(line, nullptr, false);
  if (!progress.is_object())
    return;
  std::string phase = progress.value("phase", "");
  unsigned long sent = progress.value("bytes_sent", 0ul), total = progress.value("total", 0ul);
  if (phase == "handshake")
    slot->progress = "handshake, attempt " + std::to_string(progress.value("attempt", 0));
  else if ((phase == "upload" || phase == "drain") && total > 0)
    slot->progress = std::to_string(std::min(sent, total) * 100 / total) + " %";
  else if (phase == "lines")
    slot->progress = "lines, " + std::to_string(progress.value("lines_done", 0ul)) + " done";
  else
    slot->progress = phase;
}

static void stop_runs(bool interrupt, const std::string &by) {
  for (station_slot &slot : slots)
    if (slot.state == SLOT_LOADING) {
      slot.stopped_by = by;
      stop_child(slot.child, interrupt);
    }
}

// The first Ctrl-C takes no new board and lets the loads under way
// finish; a second, or any other stop, stops them as a single run is
// stopped.
static void stop_asked_for(const station_event &event) {
  if (event.interrupt && taking) {
    taking = false;
    tell_station_event("", "stopping",
                       "stopping: the loads under way finish (Ctrl-C again stops them)");
    return;
  }
  taking = false;
  tell_station_event("", "stopping", "stopping the loads under way (" + event.text + ")");
  stop_runs(event.interrupt, event.text);
}

static void handle(const station_event &event) {
  station_slot *slot = slot_of_run(event.run);
  switch (event.kind) {
  case PORTS_CHANGED:
    look();
    for (long long ms : LOOK_AFTER_EVENT_MS)
      look_in(ms);
    return;
  case STOP_ASKED:
    stop_asked_for(event);
    break;
  case RUN_PRINTED:
    if (slot != nullptr)
      print_station_line(slot->name + ": " + event.text);
    return;
  case RUN_WARNED:
    if (slot != nullptr)
      say_station_line(slot->name + ": " + event.text);
    return;
  case RUN_PROGRESS:
    if (slot != nullptr)
      note_progress(slot, event.text);
    break;
  case RUN_ENDED:
    if (slot != nullptr)
      end_run(slot, event.status);
    look();
    return;
  }
  show_slots();
}

// How long the loop may wait for an event before a look is due; -1: as
// long as none comes.
static int wait_before_look() {
  if (looks_due.empty())
    return -1;
  long long soonest = -ms_since(*std::min_element(looks_due.begin(), looks_due.end()));
  return soonest > 0 ? (int)soonest : 0;
}

static void look_when_due() {
  record_moment now = moment_now();
  size_t due = looks_due.size();
  looks_due.erase(std::remove_if(looks_due.begin(), looks_due.end(),
                                 [now](record_moment at) { return at <= now; }),
                  looks_due.end());
  if (looks_due.size() != due)
    look();
}

static void ports_changed() {
  tell_station({PORTS_CHANGED, 0, "", 0, false});
}

static void stop_taken(const char *by, bool interrupt) {
  tell_station({STOP_ASKED, 0, by, 0, interrupt});
}

// What runs beside the loop stops with the station, however it ends; runs
// still under way (a failure of the station's own) are stopped too.
static void stop_beside_the_loop() {
  stop_watching_ports();
  stop_runs(false, "the station ending");
  stop_station_view();
  if (!reports_folder.empty())
    remove_temporary_folder(reports_folder);
}

static void end_station() {
  double seconds = boards > 0 ? ms_between(first_board, last_ended) / 1000.0 : 0;
  if (setup.log != nullptr &&
      !log_line(setup.log,
                json{{"station", "ended"},
                     {"boards", boards},
                     {"passed", passed},
                     {"failed", failed},
                     {"stopped", stopped},
                     {"seconds", (long long)(seconds * 10) / 10.0},
                     {"boards_per_hour", seconds > 0 ? (long long)(boards * 3600 / seconds) : 0}}))
    log_lost = true;
  leave(failed + stopped > 0 || log_lost ? FAILURE_STATUS : 0);
}

// The log must take a line, and the traces' folder must be one (made where
// it is not there yet), before any board is loaded.
static void check_records() {
  if (setup.log != nullptr)
    if (const char *refused = append_line(setup.log, ""))
      report_and_exit(&OPTION_REFUSED, setup.log_given.c_str(),
                      (std::string("the log cannot be written there: ") + refused).c_str());
  if (setup.trace_folder != nullptr &&
      (strcmp(setup.trace_folder, "-") == 0 || !make_folder(setup.trace_folder)))
    report_and_exit(&OPTION_REFUSED, setup.trace_given.c_str(),
                    "a station's traces go into a folder, and it cannot be made there");
  reports_folder = make_temporary_folder();
  if (reports_folder.empty())
    report_and_exit(&OPTION_REFUSED, "--station", "no folder for the boards' reports");
}

void run_station(const station_setup &asked) {
  setup = asked;
  patterns = read_slot_patterns(setup.ports);
  check_records();
  take_stops_on_a_thread(stop_taken);
  stop_on_the_way_out(stop_beside_the_loop);
  for (const port_wanted &pattern : patterns)
    if (pattern.form == PORT_BY_NAME)
      slots.push_back(new_slot(pattern.given));
  // Subscribed first, then what is there is read: nothing comes between.
  const char *watched = watches_usb(patterns) ? start_watching_ports(ports_changed) : "";
  looked_at_now_and_then = watched == nullptr;
  for (const port_wanted &pattern : patterns)
    looked_at_now_and_then = looked_at_now_and_then || pattern.form == PORT_BY_NAME;
  start_station_view();
  if (watched == nullptr)
    tell_station_event("", "watching", "no events of ports come here: looked for every 100 ms");
  look();
  for (;;) {
    station_event event;
    if (next_station_event(&event, wait_before_look()))
      handle(event);
    look_when_due();
    if (!taking && !any_loading())
      end_station();
  }
}
