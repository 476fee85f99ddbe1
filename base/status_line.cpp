// The status line and its drawing thread: the run asks, and only the thread
// writes to the terminal.
#include "status_line.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "../platform/platform.h"

static const size_t STATUS_SIZE = 160;
static const char CUT = '\t';
static const char SPACES[] = "                                                                ";
static const std::chrono::milliseconds REDRAW(100);
static const int STOP_WAIT_MS = 100; // for a frame under way, when the run is stopped
static const std::chrono::milliseconds LAST_FRAME(200); // the way out's wait for the thread
static const std::chrono::milliseconds
    ERASED(100); // the most a clear waits, for a terminal that takes output

static progress_mode shown_as = PROGRESS_DRAWN;

// What the run asks to be shown, and how far the drawing thread has come.
static std::mutex screen_lock;
static std::condition_variable screen_asked, screen_drawn;
static char wanted[STATUS_SIZE] = "";
// A status that was asked for and not drawn yet: it is drawn once, even
// where another came after it before the thread got to it.
static char undrawn[STATUS_SIZE] = "";
static status_renderer renderer = nullptr;
static std::string said;
static unsigned asked_version = 0, drawn_version = 0;
static bool ending = false, ended = false;
static std::atomic<unsigned> said_error(0);
static std::thread drawer;

// What the line on the screen holds now, and whether the thread is writing
// it: read by a stop's handler.
static std::atomic<size_t> status_width(0);
static std::atomic<bool> drawing_now(false);
static std::atomic<bool> drawing_stopped(false);

bool terminal_watches() {
  static const bool terminal = error_is_terminal();
  return terminal;
}

void show_progress_as(progress_mode mode) {
  shown_as = mode;
}

progress_mode progress_shown_as() {
  return shown_as;
}

bool status_drawn() {
  return (shown_as == PROGRESS_DRAWN || shown_as == PROGRESS_LOGGED) && terminal_watches();
}

bool status_logged() {
  return shown_as == PROGRESS_LOGGED && !terminal_watches();
}

// A plain line for a log: the parts without their cuts.
static void log_status(const char *text) {
  char line[STATUS_SIZE + 1];
  size_t length = 0;
  for (; *text != '\0' && length < STATUS_SIZE; text++)
    if (*text != CUT)
      line[length++] = *text;
  line[length++] = '\n';
  write_error_at_once(line, length);
}

// A line that reaches the last column wraps on some terminals, and a
// carriage return then goes back to its second row only.
static size_t usable_width() {
  int width = terminal_width();
  if (width <= 1 || (size_t)width > STATUS_SIZE)
    return STATUS_SIZE - 1;
  return (size_t)width - 1;
}

// Keeps the parts of `text` that fit in `room`, dropping from the last
// cut on; the first part alone is shortened if need be.
static void fit(char *text, size_t room) {
  size_t width = 0;
  char *kept = text;
  for (char *part = text; *part != '\0';) {
    char *cut = strchr(part, CUT);
    size_t length = cut ? (size_t)(cut - part) : strlen(part);
    if (width + length > room) {
      if (part == text)
        kept = text + room;
      break;
    }
    memmove(kept, part, length);
    kept += length;
    width += length;
    part += length + (cut ? 1 : 0);
  }
  *kept = '\0';
}

// Spaces are the one way to erase that every console knows. Only system
// calls: a signal handler erases too.
static void blank(size_t count) {
  while (count > 0) {
    size_t piece = count < sizeof SPACES - 1 ? count : sizeof SPACES - 1;
    write_error_at_once(SPACES, piece);
    count -= piece;
  }
}

static void erase_line() {
  size_t width = status_width;
  if (width == 0)
    return;
  status_width = 0;
  // The window may have been made narrower since: blanks past its edge
  // would wrap.
  if (width > usable_width())
    width = usable_width();
  write_error_at_once("\r", 1);
  blank(width);
  write_error_at_once("\r", 1);
}

static void draw_line(char *line) {
  size_t room = usable_width();
  fit(line, room);
  size_t width = strlen(line);
  size_t before = status_width < room ? status_width.load() : room;
  // A stop that comes in the middle of this draw must erase this much.
  if (width > status_width)
    status_width = width;
  write_error_at_once("\r", 1);
  write_error_at_once(line, width);
  if (width < before) {
    blank(before - width);
    write_error_at_once("\r", 1);
    write_error_at_once(line, width);
  }
  status_width = width;
}

// The work the thread takes under the lock.
struct screen_work {
  unsigned version;
  std::string lines;
  char undrawn[STATUS_SIZE];
  char line[STATUS_SIZE];
  bool draw;
  bool end;
};

static void do_work(screen_work &work) {
  bool logged = status_logged();
  // A run in the background leaves the terminal to what is in the foreground.
  bool ours = logged || error_in_foreground();
  if (!work.lines.empty()) {
    if (ours && !logged)
      erase_line();
    unsigned error = write_error_at_once(work.lines.data(), work.lines.size());
    unsigned none = 0;
    if (error != 0)
      said_error.compare_exchange_strong(none, error);
  }
  if (!ours)
    return;
  for (char *line : {work.undrawn, work.line}) {
    if (line == work.line && !work.draw)
      break;
    if (logged && line[0] != '\0')
      log_status(line);
    else if (!logged && line[0] != '\0')
      draw_line(line);
    else if (!logged && line == work.line)
      erase_line();
  }
}

static bool take_work(screen_work *work) {
  work->version = asked_version;
  work->lines.swap(said);
  said.clear();
  work->end = ending;
  work->line[0] = '\0';
  if (renderer != nullptr) {
    work->draw = renderer(work->line, sizeof work->line, status_logged());
  } else {
    memcpy(work->line, wanted, sizeof wanted);
    work->draw = work->version != drawn_version;
  }
  bool again = strcmp(undrawn, work->line) == 0;
  memcpy(work->undrawn, again ? "" : undrawn, again ? 1 : sizeof undrawn);
  undrawn[0] = '\0';
  return work->draw || work->undrawn[0] != '\0' || !work->lines.empty() || work->end;
}

static void draw_until_ended() {
  std::unique_lock<std::mutex> lock(screen_lock);
  for (;;) {
    if (renderer != nullptr)
      screen_asked.wait_for(lock, REDRAW);
    else
      screen_asked.wait(lock, [] { return asked_version != drawn_version || ending; });
    screen_work work;
    bool worth = take_work(&work);
    if (worth) {
      lock.unlock();
      drawing_now = true;
      if (!drawing_stopped)
        do_work(work);
      drawing_now = false;
      lock.lock();
    }
    drawn_version = work.version;
    screen_drawn.notify_all();
    if (work.end && said.empty()) {
      ended = true;
      screen_drawn.notify_all();
      return;
    }
  }
}

// The caller holds the lock. The thread is started with the first thing
// to draw.
static void ask(std::unique_lock<std::mutex> &) {
  asked_version++;
  if (!drawer.joinable() && !ending)
    start_helper(&drawer, draw_until_ended);
  screen_asked.notify_all();
}

void prepare_drawing() {
  std::unique_lock<std::mutex> lock(screen_lock);
  if ((status_drawn() || status_logged()) && !drawer.joinable())
    start_helper(&drawer, draw_until_ended);
}

void show_status(const char *format, ...) {
  if (!status_drawn() && !status_logged())
    return;
  char line[STATUS_SIZE];
  va_list values;
  va_start(values, format);
  vsnprintf(line, sizeof line, format, values);
  va_end(values);
  std::unique_lock<std::mutex> lock(screen_lock);
  renderer = nullptr;
  memcpy(wanted, line, sizeof line);
  memcpy(undrawn, line, sizeof line);
  ask(lock);
}

// From now on the screen shows what `render` makes, or nothing. The caller
// holds the lock.
static void show_only(status_renderer render) {
  renderer = render;
  wanted[0] = '\0';
}

void show_status_by(status_renderer render) {
  if (!status_drawn() && !status_logged())
    return;
  std::unique_lock<std::mutex> lock(screen_lock);
  show_only(render);
  ask(lock);
}

void clear_status() {
  std::unique_lock<std::mutex> lock(screen_lock);
  if (!drawer.joinable())
    return;
  show_only(nullptr);
  ask(lock);
  unsigned version = asked_version;
  if (output_is_terminal() && error_takes_output_now())
    screen_drawn.wait_for(lock, ERASED,
                          [version] { return drawn_version - version < 0x80000000u; });
}

void say_on_screen(const char *text, size_t length) {
  std::unique_lock<std::mutex> lock(screen_lock);
  said.append(text, length);
  ask(lock);
  if (!drawer.joinable()) { // no thread to be had: said at once
    write_error_at_once(said.data(), said.size());
    said.clear();
  }
}

unsigned screen_error() {
  return said_error;
}

void stop_drawing() {
  std::unique_lock<std::mutex> lock(screen_lock);
  if (!drawer.joinable())
    return;
  show_only(nullptr);
  ending = true;
  ask(lock);
  if (screen_drawn.wait_for(lock, LAST_FRAME, [] { return ended; })) {
    lock.unlock();
    drawer.join();
    return;
  }
  unsigned none = 0;
  if (!said.empty() || drawing_now)
    said_error.compare_exchange_strong(none, (unsigned)ERROR_TIMEOUT);
  drawer.detach();
}

// A frame under way may finish (it takes a moment at the most), and the
// line is erased only where the terminal takes it at once: a stopped
// terminal (Ctrl-S) must not hold the run's end. Only system calls.
void erase_status_at_once() {
  drawing_stopped = true;
  for (int waited = 0; drawing_now && waited < STOP_WAIT_MS; waited++)
    Sleep(1);
  if (status_width != 0 && error_in_foreground() && error_takes_output_now())
    erase_line();
}
