#include "status_line.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "../platform/platform.h"

static const size_t STATUS_SIZE = 160;
static const char CUT = '\t';
static const char SPACES[] = "                                                                ";
// What the line on the screen holds now; read by a signal handler too.
static volatile size_t status_width = 0;
// Set once the run is being stopped: nothing is drawn after that. Read by a
// console control handler on a thread of its own, hence atomic.
static std::atomic<bool> drawing_stopped(false);

static progress_mode shown_as = PROGRESS_DRAWN;

bool terminal_watches() {
  static const bool terminal = error_is_terminal();
  return terminal;
}

void show_progress_as(progress_mode mode) {
  shown_as = mode;
}

bool status_drawn() {
  return shown_as != PROGRESS_OFF && terminal_watches();
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

void show_status(const char *format, ...) {
  bool logged = status_logged();
  if (!logged && (!status_drawn() || !error_in_foreground()))
    return;
  char line[STATUS_SIZE];
  va_list values;
  va_start(values, format);
  vsnprintf(line, sizeof line, format, values);
  va_end(values);
  if (logged) {
    log_status(line);
    return;
  }
  size_t room = usable_width();
  fit(line, room);
  size_t width = strlen(line);
  fflush(stderr);
  hold_drawing();
  if (drawing_stopped) {
    let_drawing_go();
    return;
  }
  size_t before = status_width < room ? status_width : room;
  // What a stop that comes in the middle of this draw must erase.
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
  let_drawing_go();
}

static void erase_line() {
  size_t width = status_width;
  if (width == 0)
    return;
  status_width = 0;
  // A window made narrower since: blanks past its edge would wrap.
  if (width > usable_width())
    width = usable_width();
  write_error_at_once("\r", 1);
  blank(width);
  write_error_at_once("\r", 1);
}

// A run stopped in the background of its terminal leaves the line of what
// is in the foreground alone.
void erase_status_at_once() {
  drawing_stopped = true;
  hold_drawing(); // never let go: the run ends
  if (error_in_foreground())
    erase_line();
}

void clear_status() {
  if (status_width == 0)
    return;
  hold_drawing();
  if (!error_in_foreground())
    status_width = 0; // not ours to touch now
  else if (!drawing_stopped)
    erase_line();
  let_drawing_go();
}
