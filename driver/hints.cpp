#include "hints.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../serial/serial_port.h"
#include "platform.h"
#include "terminal.h"

static const size_t TEXT_SIZE = 256;

// The hints that hold on every platform, after the platform's own.
static const failure_hint COMMON_HINTS[] = {
    {"%s config error: %u\n", ABOUT_PORT, ANY_CODE,
     "Give the settings as \"baud=38400 parity=N data=8 stop=1\" (pairs, no space around =) "
     "or as \"96,N,8,1\" (speed,parity,data,stop)."},
    {"fail to set %s config: %u\n", ABOUT_PORT, ERROR_INVALID_PARAMETER,
     "The device cannot make these settings: choose a speed it has, and 1 or 1.5 stop bits "
     "with 5 data bits, 1 or 2 with 6 to 8."},
    {"synchronization failed\n", ABOUT_EITHER, ANY_CODE,
     "The target did not answer: put the board in its boot loader, and check the speed, that "
     "TX and RX are crossed, and a common ground."},
};

static const failure_hint *hint_in(const failure_hint *hints, size_t count, const char *format,
                                   bool about_port, unsigned code) {
  for (size_t i = 0; i < count; i++) {
    const failure_hint &hint = hints[i];
    bool subject_fits = hint.subject == ABOUT_EITHER || (hint.subject == ABOUT_PORT) == about_port;
    if (strcmp(hint.message, format) == 0 && subject_fits &&
        (hint.code == ANY_CODE || hint.code == code))
      return &hint;
  }
  return NULL;
}

static const failure_hint *hint_for(const char *format, bool about_port, unsigned code) {
  const failure_hint *own = hint_in(FAILURE_HINTS, FAILURE_HINT_COUNT, format, about_port, code);
  if (own != NULL)
    return own;
  const size_t COMMON_COUNT = sizeof COMMON_HINTS / sizeof COMMON_HINTS[0];
  return hint_in(COMMON_HINTS, COMMON_COUNT, format, about_port, code);
}

// Every message names the port or the file first ("%s") and gives the
// error code after it ("%u"); the port's messages name it by port_name.
void explain_failure(const char *format, va_list values) {
  if (!terminal_watches())
    return;
  va_list taken;
  va_copy(taken, values);
  const char *name = strstr(format, "%s") ? va_arg(taken, const char *) : NULL;
  bool has_code = strstr(format, "%u") != NULL;
  unsigned code = has_code ? va_arg(taken, unsigned) : ANY_CODE;
  va_end(taken);
  if (has_code) {
    char meaning[TEXT_SIZE];
    describe_error(code, meaning, sizeof meaning);
    fprintf(stderr, "error %u: %s\n", code, meaning);
  }
  const failure_hint *hint = hint_for(format, name != NULL && name == port_name, code);
  if (hint != NULL)
    fprintf(stderr, "hint: %s\n", hint->text);
  fflush(stderr);
}
