// The run's record: the trace, buffered and written as the run goes, and
// the report, built as JSON where it may allocate and kept ready as text
// for a stop's handler, which may not.
#include "run_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "../platform/platform.h"
#include "../platform/record_files.h"
#include "image_hash.h"
#include "status_line.h"

using json = nlohmann::ordered_json;

run_facts facts;

static const record_moment STARTED = moment_now();
static const size_t TRACE_BUFFER = 1 << 16;
static const size_t TRACE_LINE = 1024;
static const char *const PHASE_NAMES[PHASES] = {"opening", "handshake", "upload", "drain", "lines"};

static const char *trace_asked = nullptr;
static const char *report_asked = nullptr;
static record_place trace_place = {};
static record_place report_place = {};
// Lines wait here, so that 20,000 programming lines cost no more than
// 20,000 copies; a stop handler writes out what waits.
static char trace_buffer[TRACE_BUFFER];
static std::atomic<size_t> trace_length(0);
static bool trace_at_once = false;   // standard error: a line as it comes
static bool trace_on_screen = false; // between the status line's frames

// The record's state, which the hash's thread reads and refreshes too.
static std::mutex record_lock;
static char started_at[32] = "";
static int64_t phase_ms[PHASES] = {-1, -1, -1, -1, -1};
static std::atomic<int> current_phase(-1);
static record_moment phase_started;
static char failure_message[TRACE_LINE] = "";
static bool failure_has_code = false;
static unsigned failure_code = 0;

// The report as a stop would write it, but for what a handler adds itself:
// two copies, so that one is whole while the other is made, and none made
// once a stop has begun to read.
static char *stopped_heads[2] = {nullptr, nullptr};
static size_t stopped_head_lengths[2] = {0, 0};
static std::atomic<int> stopped_head_ready(-1);
static std::atomic<bool> stop_reading(false);

long long ms_between(record_moment from, record_moment to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

void trace_to(const char *path) {
  trace_asked = path;
}

void report_to(const char *path) {
  report_asked = path;
}

const char *trace_path() {
  return trace_asked;
}

const char *report_path() {
  return report_asked;
}

bool tracing() {
  return trace_place.kind != RECORD_NONE;
}

static bool reporting() {
  return report_place.kind != RECORD_NONE;
}

bool recording() {
  return tracing() || reporting();
}

// A trace at the terminal where the status line is drawn goes between its
// frames, never on its row.
static void flush_trace() {
  size_t length = trace_length;
  if (length > 0 && trace_on_screen)
    say_on_screen(trace_buffer, length);
  else if (length > 0 && trace_place.error == 0)
    write_to_stream(&trace_place, trace_buffer, length);
  trace_length = 0;
}

static void note_start_time() {
  if (started_at[0] != '\0')
    return;
  time_t now = time(NULL);
  strftime(started_at, sizeof started_at, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
}

const char *start_trace() {
  if (trace_asked == nullptr)
    return nullptr;
  note_start_time();
  trace_at_once = strcmp(trace_asked, "-") == 0;
  trace_on_screen = trace_at_once && status_drawn();
  return open_record_place(trace_asked, false, &trace_place);
}

void trace(const char *format, ...) {
  if (!tracing())
    return;
  char line[TRACE_LINE];
  int at = snprintf(line, sizeof line, "%7lld ms  ", (long long)ms_since(STARTED));
  va_list values;
  va_start(values, format);
  vsnprintf(line + at, sizeof line - (size_t)at - 1, format, values);
  va_end(values);
  size_t length = strlen(line);
  line[length++] = '\n';
  if (trace_length + length > TRACE_BUFFER)
    flush_trace();
  memcpy(trace_buffer + trace_length, line, length);
  trace_length += length;
  if (trace_at_once)
    flush_trace();
}

static json text(const char *name) {
  return name != nullptr ? json(text_in_utf8(name)) : json(nullptr);
}

// Builds everything the report holds but how the run ended and the counts
// that move while it runs. The caller holds the record's lock.
static json facts_json() {
  json phases = json::object();
  for (int i = 0; i < PHASES; i++)
    if (phase_ms[i] >= 0)
      phases[PHASE_NAMES[i]] = phase_ms[i];
  json adapter = json::object();
  if (facts.adapter[0] != '\0')
    adapter["description"] = text(facts.adapter);
  if (facts.adapter_serial[0] != '\0')
    adapter["serial"] = text(facts.adapter_serial);
  if (facts.adapter_identity[0] != '\0')
    adapter["identity"] = text(facts.adapter_identity);
  if (facts.adapter_location[0] != '\0')
    adapter["location"] = text(facts.adapter_location);
  if (facts.stable_names[0] != '\0')
    adapter["stable_names"] = text(facts.stable_names);
  return json{{"tool", "tarvick"},
              {"version", TARVICK_VERSION},
              {"started", started_at},
              {"port", text(facts.port ? facts.port : "")},
              {"device", text(facts.port_device)},
              {"adapter", adapter},
              {"settings",
               {{"asked", text(facts.settings_asked ? facts.settings_asked : "")},
                {"read_back", text(facts.settings_read_back)}}},
              {"image",
               {{"path", text(facts.image ? facts.image : "")},
                {"size", facts.image_size},
                {"sha256", facts.image_sha256_ready ? json(facts.image_sha256) : json(nullptr)}}},
              {"programming_file", text(facts.programming_file)},
              {"phases_ms", phases}};
}

static void add_counts(json *report) {
  (*report)["handshake_attempts"] = (uint32_t)facts.handshake_attempts;
  (*report)["bytes_sent"] = (uint32_t)facts.bytes_sent;
  (*report)["lines_sent"] = (uint32_t)facts.lines_sent;
  (*report)["nacks"] = (uint32_t)facts.nacks;
}

// Bytes that are not UTF-8 (a name in another encoding) are each written as
// U+FFFD, the replacement character: JSON holds Unicode text only.
static std::string dumped(const json &report) {
  return report.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Builds the copy that a stop writes. It runs outside any handler, and a
// stop that has begun to read keeps the copy it reads whole. The caller
// holds the record's lock.
static void refresh_stopped_head() {
  if (!reporting() || stop_reading)
    return;
  std::string head;
  try {
    head = dumped(facts_json());
  } catch (const std::exception &) {
    return;
  }
  head.pop_back(); // the closing brace: a handler adds the rest
  int slot = stopped_head_ready == 0 ? 1 : 0;
  char *copy = static_cast<char *>(realloc(stopped_heads[slot], head.size()));
  if (copy == nullptr || stop_reading)
    return;
  memcpy(copy, head.data(), head.size());
  stopped_heads[slot] = copy;
  stopped_head_lengths[slot] = head.size();
  stopped_head_ready = slot;
}

void refresh_stopped_report() {
  std::lock_guard<std::mutex> lock(record_lock);
  refresh_stopped_head();
}

// Writes the report. A failure is kept in the place's error, and the way
// out says it once, naming the file.
static bool write_report(json report) {
  std::string whole;
  try {
    whole = dumped(report) + "\n";
  } catch (const std::exception &) {
    report_place.error = report_place.error != 0 ? report_place.error : ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  const char *parts[] = {whole.c_str()};
  size_t lengths[] = {whole.size()};
  return replace_whole(&report_place, parts, lengths, 1);
}

// The report at FILE says at once that this run is running, so that a run
// killed on its way leaves no earlier run's success behind. A FIFO or a
// device gets the one report of how the run ended, and nothing before it.
const char *start_report() {
  if (report_asked == nullptr)
    return nullptr;
  note_start_time();
  if (const char *refused = open_record_place(report_asked, true, &report_place))
    return refused;
  std::lock_guard<std::mutex> lock(record_lock);
  refresh_stopped_head();
  if (report_place.kind == RECORD_STREAM)
    return nullptr;
  json report = facts_json();
  add_counts(&report);
  report["outcome"] = "running";
  report["exit_status"] = nullptr;
  if (write_report(report))
    return nullptr;
  static char reason[256];
  describe_error(report_place.error, reason, sizeof reason);
  report_place.kind = RECORD_NONE;
  return reason;
}

static void end_phase() {
  if (current_phase >= 0)
    phase_ms[current_phase] = ms_since(phase_started);
}

// The phase is known without a record too: progress shown as JSON tells it.
void begin_phase(run_phase phase) {
  if (!recording()) {
    current_phase = phase;
    return;
  }
  std::lock_guard<std::mutex> lock(record_lock);
  end_phase();
  current_phase = phase;
  phase_started = moment_now();
  refresh_stopped_head();
  flush_trace();
}

const char *phase_now() {
  int phase = current_phase;
  return phase >= 0 ? PHASE_NAMES[phase] : "starting";
}

void note_image(const char *path, const void *data, uint32_t size) {
  facts.image_size = size;
  if (!recording())
    return;
  trace("image %s: %lu bytes", path, (unsigned long)size);
  {
    std::lock_guard<std::mutex> lock(record_lock);
    facts.image_size = size;
    refresh_stopped_head();
  }
  hash_beside(data, size, facts.image_sha256, &facts.image_sha256_ready, refresh_stopped_report);
}

void note_failure(const failure *what, va_list values) {
  if (!recording())
    return;
  va_list shown;
  va_copy(shown, values);
  vsnprintf(failure_message, sizeof failure_message, what->message, shown);
  va_end(shown);
  failure_message[strcspn(failure_message, "\n")] = '\0'; // the usage's second line stays out
  const char *name = NULL;
  failure_has_code = failure_values(what, values, &name, &failure_code);
}

// Says on standard error, once for each record, that it could not be
// written.
static bool say_if_lost(const record_place &place, const char *what, const char *path) {
  if (place.error == 0)
    return true;
  char reason[256];
  describe_error(place.error, reason, sizeof reason);
  char line[RECORD_PATH_SIZE + 400];
  int length = snprintf(line, sizeof line, "tarvick: the %s could not be written to %s: %s\n", what,
                        path, reason);
  write_error_at_once(line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
  return false;
}

bool finish_records(int status) {
  if (!recording())
    return true;
  std::lock_guard<std::mutex> lock(record_lock);
  end_phase();
  bool failed = failure_message[0] != '\0' || status != 0;
  if (reporting()) {
    json report = facts_json();
    add_counts(&report);
    report["outcome"] = failed ? "failed" : "loaded";
    report["exit_status"] = failed ? 2 : 0;
    if (failed)
      report["failure"] = {{"message", text(failure_message)},
                           {"code", failure_has_code ? json(failure_code) : json(nullptr)}};
    write_report(report);
  }
  bool kept = report_place.error == 0;
  if (failed)
    trace("failed: %s, status 2", failure_message);
  else
    trace("loaded: %u bytes, %u lines, %u nacks, status %d", (unsigned)facts.bytes_sent,
          (unsigned)facts.lines_sent, (unsigned)facts.nacks, kept ? 0 : 2);
  if (!kept)
    trace("the report could not be written to %s", report_asked);
  flush_trace();
  kept = say_if_lost(report_place, "report", report_asked) && kept;
  return say_if_lost(trace_place, "trace", trace_asked) && kept;
}

// Only plain system calls from here on: a signal handler calls what
// follows.
static size_t decimal(uint32_t number, char *text) {
  char backwards[12];
  size_t length = 0;
  do
    backwards[length++] = (char)('0' + number % 10);
  while ((number /= 10) != 0);
  for (size_t i = 0; i < length; i++)
    text[i] = backwards[length - 1 - i];
  return length;
}

static void trace_stopped(const char *stopped_by) {
  static const char STOPPED[] = " ms  stopped by ";
  static const char SPACES[] = "       ";
  trace_on_screen = false; // the status line's thread draws no more
  flush_trace();
  char line[16];
  size_t length = decimal((uint32_t)ms_since(STARTED), line);
  const char *parts[] = {SPACES, line, STOPPED, stopped_by, "\n"};
  size_t lengths[] = {length < 7 ? 7 - length : 0, length, sizeof STOPPED - 1, strlen(stopped_by),
                      1};
  for (int i = 0; i < 5 && trace_place.error == 0; i++)
    write_to_stream(&trace_place, parts[i], lengths[i]);
}

static void say_lost_at_once(const record_place &place, const char *what, const char *path) {
  if (place.error == 0)
    return;
  const char *parts[] = {"tarvick: the ", what, " could not be written to ", path, "\n"};
  for (const char *part : parts)
    write_error_at_once(part, strlen(part));
}

void finish_records_at_once(const char *stopped_by) {
  if (tracing())
    trace_stopped(stopped_by);
  stop_reading = true;
  int slot = stopped_head_ready;
  if (reporting() && slot >= 0) {
    char counts[200];
    size_t length = 0;
    const char *names[] = {
        ",\"handshake_attempts\":", ",\"bytes_sent\":", ",\"lines_sent\":", ",\"nacks\":"};
    uint32_t values[] = {(uint32_t)facts.handshake_attempts, facts.bytes_sent, facts.lines_sent,
                         facts.nacks};
    for (int i = 0; i < 4; i++) {
      memcpy(counts + length, names[i], strlen(names[i]));
      length += strlen(names[i]);
      length += decimal(values[i], counts + length);
    }
    static const char OUTCOME[] = ",\"outcome\":\"stopped\",\"exit_status\":null,\"stopped_in\":\"";
    static const char BY[] = "\",\"stopped_by\":\"";
    int phase_now = current_phase;
    const char *phase = phase_now >= 0 ? PHASE_NAMES[phase_now] : "";
    const char *parts[] = {stopped_heads[slot], counts, OUTCOME, phase, BY, stopped_by, "\"}\n"};
    size_t lengths[] = {
        stopped_head_lengths[slot], length, sizeof OUTCOME - 1, strlen(phase), sizeof BY - 1,
        strlen(stopped_by),         3};
    replace_whole(&report_place, parts, lengths, 7);
  }
  say_lost_at_once(report_place, "report", report_asked);
  say_lost_at_once(trace_place, "trace", trace_asked);
}
