// The station's view at a terminal, drawn in place by a thread of its own,
// and its event lines elsewhere.
#include "station_view.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "../base/helper_end.h"
#include "../base/status_line.h"
#include "../platform/platform.h"

static const std::chrono::milliseconds REDRAW(250); // the times tick while boards load;
                                                    // an idle view is drawn only anew
static const size_t WIDEST = 200;

static bool drawn = false;
static bool shares_output = false; // standard output is the same terminal

static std::mutex view_lock;
static std::condition_variable view_asked;
static std::vector<view_row> rows_now;
static view_tally tally_now = {0, 0, 0, 0, -1};
static std::string lines_out, lines_error; // to write before the next frame
static bool changed = false, ending = false, ended = false;
static std::thread drawer;
static size_t frame_height = 0; // the drawer's own

static std::string seconds_text(long long ms) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
  return text;
}

static std::string tally_text(const view_tally &tally) {
  char text[160];
  int length = snprintf(text, sizeof text, "tarvick station: %d passed, %d failed", tally.passed,
                        tally.failed);
  if (tally.stopped > 0)
    length += snprintf(text + length, sizeof text - length, ", %d stopped", tally.stopped);
  length += snprintf(text + length, sizeof text - length, ", %d loading", tally.loading);
  if (tally.per_hour >= 0)
    snprintf(text + length, sizeof text - length, ", %.0f boards/hour", tally.per_hour);
  return text;
}

static std::string row_text(const view_row &row) {
  char text[WIDEST * 2];
  std::string time =
      !row.timed ? "" : seconds_text(row.took_ms >= 0 ? row.took_ms : ms_since(row.started));
  snprintf(text, sizeof text, "%-14s %-30s %8s  %s", row.slot.c_str(),
           row.identity.empty() ? "-" : row.identity.c_str(), time.c_str(), row.state.c_str());
  return text;
}

// A line that reached the last column would wrap, and the frame would no
// longer be where the cursor moves count it.
static std::string fitted(const std::string &line) {
  int width = terminal_width();
  size_t room = width > 1 ? (size_t)width - 1 : WIDEST;
  return line.size() > room ? line.substr(0, room) : line;
}

// Back to the frame's first row, then each row anew, and whatever the last
// frame had below cleared.
static void draw(const std::vector<std::string> &frame, const std::string &out,
                 const std::string &error) {
  std::string text = "\r";
  if (frame_height > 1)
    text += "\x1b[" + std::to_string(frame_height - 1) + "A";
  if (!out.empty() || !error.empty()) {
    text += "\x1b[J";
    write_error_at_once(text.data(), text.size());
    if (!error.empty())
      write_error_at_once(error.data(), error.size());
    if (!out.empty())
      fwrite(out.data(), 1, out.size(), stdout), fflush(stdout);
    text.clear();
  }
  for (size_t i = 0; i < frame.size(); i++)
    text += fitted(frame[i]) + "\x1b[K" + (i + 1 < frame.size() ? "\n" : "");
  text += "\x1b[J";
  write_error_at_once(text.data(), text.size());
  frame_height = frame.size();
}

static void draw_until_ended() {
  std::unique_lock<std::mutex> lock(view_lock);
  for (;;) {
    auto asked = [] { return changed || ending; };
    if (tally_now.loading > 0)
      view_asked.wait_for(lock, REDRAW, asked);
    else
      view_asked.wait(lock, asked);
    std::vector<std::string> frame = {tally_text(tally_now)};
    for (const view_row &row : rows_now)
      frame.push_back(row_text(row));
    std::string out, error;
    out.swap(lines_out);
    error.swap(lines_error);
    bool last = ending;
    changed = false;
    lock.unlock();
    draw(frame, out, error);
    if (last)
      write_error_at_once("\n", 1);
    lock.lock();
    if (last) {
      ended = true;
      view_asked.notify_all();
      return;
    }
  }
}

void start_station_view() {
  drawn = progress_shown_as() == PROGRESS_DRAWN && terminal_watches() && error_in_foreground() &&
          terminal_moves_cursor();
  shares_output = drawn && output_is_terminal();
  if (drawn && !start_helper(&drawer, draw_until_ended))
    drawn = shares_output = false;
}

void show_station(const std::vector<view_row> &rows, const view_tally &tally) {
  if (!drawn)
    return;
  std::lock_guard<std::mutex> lock(view_lock);
  rows_now = rows;
  tally_now = tally;
  changed = true;
  view_asked.notify_all();
}

// UTC to the millisecond, as a log wants to order events and time starts.
static std::string time_now() {
  auto now = std::chrono::system_clock::now();
  time_t seconds = std::chrono::system_clock::to_time_t(now);
  long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  char text[40];
  size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", gmtime(&seconds));
  snprintf(text + length, sizeof text - length, ".%03lldZ", ms);
  return text;
}

// The station's own words and slots' names: a quote or a backslash is
// all that needs escaping in what it tells.
static std::string json_text(const std::string &text) {
  std::string escaped;
  for (char c : text)
    if (c == '"' || c == '\\')
      escaped += std::string("\\") + c;
    else if ((unsigned char)c >= 0x20)
      escaped += c;
  return escaped;
}

void tell_station_event(const std::string &slot, const char *what, const std::string &text) {
  progress_mode mode = progress_shown_as();
  if (drawn || mode == PROGRESS_OFF)
    return;
  std::string line = mode == PROGRESS_JSON
                         ? "{\"time\":\"" + time_now() + "\",\"slot\":\"" + json_text(slot) +
                               "\",\"event\":\"" + what + "\",\"text\":\"" + json_text(text) +
                               "\"}\n"
                         : time_now() + " " + (slot.empty() ? "" : slot + ": ") + text + "\n";
  write_error_at_once(line.data(), line.size());
}

// While the view is drawn, its thread alone writes to the terminal, so a
// line is handed to it rather than written between two frames.
static void hand_to_view(std::string *lines, const std::string &line) {
  std::lock_guard<std::mutex> lock(view_lock);
  *lines += line + "\n";
  changed = true;
  view_asked.notify_all();
}

void print_station_line(const std::string &line) {
  if (shares_output) {
    hand_to_view(&lines_out, line);
    return;
  }
  std::string whole = line + "\n";
  fwrite(whole.data(), 1, whole.size(), stdout);
  fflush(stdout);
}

void say_station_line(const std::string &line) {
  if (drawn) {
    hand_to_view(&lines_error, line);
    return;
  }
  std::string whole = line + "\n";
  write_error_at_once(whole.data(), whole.size());
}

// A terminal that takes nothing (Ctrl-S) holds the thread, never the way
// out: the last frame is waited for a moment, then left to the terminal.
void stop_station_view() {
  if (!drawer.joinable())
    return;
  std::unique_lock<std::mutex> lock(view_lock);
  ending = true;
  view_asked.notify_all();
  end_helper_within(&drawer, lock, view_asked, ended, std::chrono::milliseconds(200));
}
