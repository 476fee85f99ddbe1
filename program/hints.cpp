// What a failure means and what to do, for a person at a terminal: the
// hints that hold on every platform, and how one is chosen.
#include "hints.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "../base/status_line.h"
#include "../platform/platform.h"

static const size_t TEXT_SIZE = 512;

// The hints that hold on every platform, after the platform's own.
static const failure_hint COMMON_HINTS[] = {
    {&CONFIG_ERROR, ANY_CODE,
     "Give the settings as \"baud=38400 parity=N data=8 stop=1\" (pairs, no space around =) "
     "or as \"96,N,8,1\" (speed,parity,data,stop).",
     NULL},
    {&SET_CONFIG_FAILED, ERROR_INVALID_PARAMETER,
     "The device cannot make these settings: choose a speed it has, and 1 or 1.5 stop bits "
     "with 5 data bits, 1 or 2 with 6 to 8.",
     NULL},
    {&SYNC_FAILED, ANY_CODE,
     "The target did not answer: put the board in its boot loader, and check the speed, that "
     "TX and RX are crossed, and a common ground.",
     NULL},
    {&FILE_TOO_LONG, ANY_CODE,
     "An image is sent whole and must be smaller than 4 GiB: split it, or load only the part "
     "the target needs.",
     NULL},
    {&OPTION_REFUSED, ANY_CODE,
     "Options come before the port, as --name=value, or from their TARVICK_ variables; "
     "`tarvick --help` lists them and their values.",
     NULL},
    {&NO_MODEM_LINES, ANY_CODE,
     "--reset drives DTR and RTS, which this port does not have (a pseudo-terminal has none).",
     NULL},
    {&LINE_IN_HANDSHAKE, ANY_CODE,
     "A line that --reset drives does no flow control: leave dtr=hs, rts=hs or rts=tg, and "
     "the ,p form, out of the settings.",
     NULL},
    {&NO_MEMORY, ANY_CODE,
     "The image, or a programming line, is held whole in memory: close other programs and "
     "try again; a 32-bit Windows program has room for images up to about 2 GiB.",
     NULL},
};

static const failure_hint *hint_in(const failure_hint *hints, size_t count, const failure &what,
                                   unsigned code) {
  for (size_t i = 0; i < count; i++)
    if (hints[i].about == &what && (hints[i].code == ANY_CODE || hints[i].code == code))
      return &hints[i];
  return NULL;
}

static const failure_hint *hint_for(const failure &what, unsigned code) {
  const failure_hint *own = hint_in(PLATFORM_HINTS, PLATFORM_HINT_COUNT, what, code);
  if (own != NULL)
    return own;
  return hint_in(COMMON_HINTS, sizeof COMMON_HINTS / sizeof COMMON_HINTS[0], what, code);
}

// The words go through the status line's thread, after the line is gone,
// so that a stopped terminal holds no part of the run's end but the last.
void explain_failure(const failure *failed, va_list values) {
  const failure &what = *failed;
  if (!terminal_watches())
    return;
  std::string words;
  char text[TEXT_SIZE];
  if (!output_is_terminal()) {
    va_list shown;
    va_copy(shown, values);
    vsnprintf(text, sizeof text, what.message, shown);
    va_end(shown);
    words += text;
  }
  const char *name = NULL;
  unsigned code = ANY_CODE;
  bool has_code = failure_values(failed, values, &name, &code);
  if (has_code) {
    describe_error(code, text, sizeof text);
    words += "error " + std::to_string(code) + ": " + text + "\n";
  }
  const failure_hint *hint = hint_for(what, code);
  if (hint != NULL && hint->explain != NULL)
    hint->explain(name, text, sizeof text);
  if (hint != NULL)
    words += std::string("hint: ") + (hint->explain != NULL ? text : hint->text) + "\n";
  say_on_screen(words.data(), words.size());
}
