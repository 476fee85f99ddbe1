#include "hints.h"

#include <cstdio>
#include <cstring>

#include "../serial/serial_port.h"
#include "platform.h"
#include "terminal.h"

static const size_t TEXT_SIZE = 256;

static const failure_hint *hint_for(const char *format, bool about_port, unsigned code) {
  for (size_t i = 0; i < FAILURE_HINT_COUNT; i++) {
    const failure_hint &hint = FAILURE_HINTS[i];
    bool subject_fits = hint.subject == ABOUT_EITHER || (hint.subject == ABOUT_PORT) == about_port;
    if (strcmp(hint.message, format) == 0 && subject_fits &&
        (hint.code == ANY_CODE || hint.code == code))
      return &hint;
  }
  return NULL;
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
