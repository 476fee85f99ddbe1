// The grammar of the options' values: durations, counts, reset sequences.
#include "option_values.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <strings.h>

static const uint64_t LONGEST_MS = 0xFFFFFFFEu; // about 49 days
static const int LARGEST_COUNT = 1000000;
static const char STEP_WORDS[] =
    "a step is dtr, !dtr, rts or !rts, two of them at once (dtr+!rts), or a wait (100ms)";

// Reads the digits up to `end` into `number`, which stops growing past what
// any value may be; false where there are none, or something else is there.
static bool read_digits(const char *text, const char *end, uint64_t *number) {
  *number = 0;
  if (text == end)
    return false;
  for (; text < end; text++) {
    if (!isdigit((unsigned char)*text))
      return false;
    if (*number <= LONGEST_MS)
      *number = *number * 10 + (uint64_t)(*text - '0');
  }
  return true;
}

static const char *read_duration_part(const char *text, const char *end, DWORD *ms) {
  const char *unit = text;
  while (unit < end && isdigit((unsigned char)*unit))
    unit++;
  uint64_t number = 0;
  bool digits = read_digits(text, unit, &number);
  size_t unit_length = (size_t)(end - unit);
  uint64_t scale = unit_length == 2 && strncasecmp(unit, "ms", 2) == 0  ? 1
                   : unit_length == 1 && (*unit == 's' || *unit == 'S') ? 1000
                   : unit_length == 0 && digits && number == 0          ? 1
                                                                        : 0;
  if (!digits || scale == 0)
    return "a duration with its unit is needed, as 250ms or 2s";
  if (number > LONGEST_MS || number * scale > LONGEST_MS)
    return "too long (49 days at the most)";
  *ms = (DWORD)(number * scale);
  return NULL;
}

const char *read_duration(const char *text, DWORD *ms) {
  return read_duration_part(text, text + strlen(text), ms);
}

const char *read_count(const char *text, int *count) {
  uint64_t number = 0;
  if (!read_digits(text, text + strlen(text), &number) || number > (uint64_t)LARGEST_COUNT)
    return "a whole number is needed, up to 1000000";
  *count = (int)number;
  return NULL;
}

// Reads "dtr" or "!rts" at `text`, `length` long, into the step.
static bool read_line(const char *text, size_t length, line_step *step) {
  bool level = true;
  if (length > 0 && *text == '!') {
    level = false;
    text++;
    length--;
  }
  int *line = length != 3                        ? NULL
              : strncasecmp(text, "dtr", 3) == 0 ? &step->dtr
              : strncasecmp(text, "rts", 3) == 0 ? &step->rts
                                                 : NULL;
  if (line == NULL || *line != LINE_KEPT)
    return false;
  *line = level ? 1 : 0;
  return true;
}

static const char *read_step(const char *text, const char *end, line_step *step) {
  *step = line_step{LINE_KEPT, LINE_KEPT, 0};
  if (text < end && isdigit((unsigned char)*text))
    return read_duration_part(text, end, &step->wait_ms);
  const char *plus = (const char *)memchr(text, '+', (size_t)(end - text));
  const char *first_end = plus != NULL ? plus : end;
  if (!read_line(text, (size_t)(first_end - text), step) ||
      (plus != NULL && !read_line(plus + 1, (size_t)(end - plus - 1), step)))
    return STEP_WORDS;
  return NULL;
}

static const char *read_steps(const char *text, const char *end, line_sequence *sequence) {
  sequence->count = 0;
  for (const char *step = text; step <= end;) {
    const char *comma = (const char *)memchr(step, ',', (size_t)(end - step));
    const char *step_end = comma != NULL ? comma : end;
    if (sequence->count == MOST_LINE_STEPS)
      return "too many steps (32 at the most)";
    if (const char *refused = read_step(step, step_end, &sequence->steps[sequence->count++]))
      return refused;
    step = step_end + 1;
  }
  return NULL;
}

const char *read_reset(const char *text, line_sequence *entry, line_sequence *exit, bool *touch) {
  const char *end = text + strlen(text);
  const char *colon = strchr(text, ':');
  const char *entry_end = colon != NULL ? colon : end;
  exit->count = 0;
  entry->count = 0;
  *touch = (size_t)(entry_end - text) == 5 && strncasecmp(text, "touch", 5) == 0;
  if (*text == '\0' || text == colon)
    return "the steps that put the board into its boot loader are needed (ENTRY[:EXIT])";
  if (const char *refused = *touch ? NULL : read_steps(text, entry_end, entry))
    return refused;
  return colon != NULL ? read_steps(colon + 1, end, exit) : NULL;
}
