#include "terminal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"

static const size_t STATUS_SIZE = 160;
static size_t status_width = 0; // what the line on the screen holds now

bool terminal_watches() {
  static const bool terminal = error_is_terminal();
  return terminal;
}

// Spaces are the one way to erase that every console knows.
static void blank_to(size_t from, size_t to) {
  for (size_t i = from; i < to; i++)
    fputc(' ', stderr);
}

void show_status(const char *format, ...) {
  if (!terminal_watches())
    return;
  char line[STATUS_SIZE];
  va_list values;
  va_start(values, format);
  vsnprintf(line, sizeof line, format, values);
  va_end(values);
  size_t width = strlen(line);
  fprintf(stderr, "\r%s", line);
  blank_to(width, status_width);
  if (width < status_width)
    fprintf(stderr, "\r%s", line);
  status_width = width;
  fflush(stderr);
}

void clear_status() {
  if (status_width == 0)
    return;
  fputc('\r', stderr);
  blank_to(0, status_width);
  fputc('\r', stderr);
  fflush(stderr);
  status_width = 0;
}
