#include "run_record.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "../platform/platform.h"

using json = nlohmann::ordered_json;

run_facts facts;

static const record_moment STARTED = moment_now();
static const size_t TRACE_BUFFER = 1 << 16;
static const size_t TRACE_LINE = 1024;
static const size_t PATH_SIZE = 4096;
static const char *const PHASE_NAMES[PHASES] = {"opening", "handshake", "upload", "drain", "lines"};

static record_file trace_file = NO_RECORD_FILE;
static bool trace_at_once = false; // standard error: a line as it comes
// Lines wait here, so that 20,000 programming lines cost no more than
// 20,000 copies; a stop handler writes out what waits.
static char trace_buffer[TRACE_BUFFER];
static std::atomic<size_t> trace_length(0);

static char report_path[PATH_SIZE] = "";
static char report_temporary[PATH_SIZE + 8] = "";
// The report as a stop would end it, but for what a handler adds itself.
static char stopped_head[16384];
static std::atomic<size_t> stopped_head_length(0);
static char started_at[32] = "";
static int64_t phase_ms[PHASES] = {-1, -1, -1, -1, -1};
static int current_phase = -1;
static record_moment phase_started;

long long ms_between(record_moment from, record_moment to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

bool tracing() {
  return trace_file != NO_RECORD_FILE;
}

bool recording() {
  return tracing() || report_path[0] != '\0';
}

static void flush_trace() {
  size_t length = trace_length;
  if (length > 0)
    write_record(trace_file, trace_buffer, length);
  trace_length = 0;
}

static void note_start_time() {
  if (started_at[0] != '\0')
    return;
  time_t now = time(NULL);
  strftime(started_at, sizeof started_at, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
}

bool trace_to(const char *path) {
  trace_file = make_record_file(path);
  trace_at_once = strcmp(path, "-") == 0;
  note_start_time();
  return tracing();
}

// Written whole at the end; whether it can be is tried now, so that a place
// it cannot go to is told before the port is touched.
bool report_to(const char *path) {
  if (strlen(path) >= PATH_SIZE)
    return false;
  snprintf(report_temporary, sizeof report_temporary, "%s.tmp", path);
  if (!can_make_file(report_temporary))
    return false;
  snprintf(report_path, sizeof report_path, "%s", path);
  note_start_time();
  return true;
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

// Everything the report holds but how the run ended and the counts that
// move while it runs.
static json facts_json() {
  json phases = json::object();
  for (int i = 0; i < PHASES; i++)
    if (phase_ms[i] >= 0)
      phases[PHASE_NAMES[i]] = phase_ms[i];
  json adapter = json::object();
  if (facts.adapter[0] != '\0')
    adapter["description"] = facts.adapter;
  if (facts.adapter_serial[0] != '\0')
    adapter["serial"] = facts.adapter_serial;
  if (facts.stable_names[0] != '\0')
    adapter["stable_names"] = facts.stable_names;
  return json{
      {"tool", "tarvick"},
      {"version", TARVICK_VERSION},
      {"started", started_at},
      {"port", facts.port ? facts.port : ""},
      {"adapter", adapter},
      {"settings",
       {{"asked", facts.settings_asked ? facts.settings_asked : ""},
        {"read_back", facts.settings_read_back}}},
      {"image",
       {{"path", facts.image ? facts.image : ""},
        {"size", facts.image_size},
        {"sha256", facts.image_sha256_ready ? json(facts.image_sha256) : json(nullptr)}}},
      {"programming_file", facts.programming_file ? json(facts.programming_file) : json(nullptr)},
      {"phases_ms", phases}};
}

static void add_counts(json *report) {
  (*report)["handshake_attempts"] = (uint32_t)facts.handshake_attempts;
  (*report)["bytes_sent"] = (uint32_t)facts.bytes_sent;
  (*report)["lines_sent"] = (uint32_t)facts.lines_sent;
  (*report)["nacks"] = (uint32_t)facts.nacks;
}

static void refresh_stopped_head() {
  std::string head = facts_json().dump();
  head.pop_back(); // the closing brace: a handler adds the rest
  stopped_head_length = 0;
  if (head.size() > sizeof stopped_head)
    return;
  memcpy(stopped_head, head.data(), head.size());
  stopped_head_length = head.size();
}

static void end_phase() {
  if (current_phase >= 0)
    phase_ms[current_phase] = ms_since(phase_started);
}

void begin_phase(run_phase phase) {
  if (!recording())
    return;
  end_phase();
  current_phase = phase;
  phase_started = moment_now();
  if (report_path[0] != '\0')
    refresh_stopped_head();
  flush_trace();
}

static void write_report(json report) {
  if (report_path[0] == '\0')
    return;
  std::string text = report.dump() + "\n";
  const char *parts[] = {text.c_str()};
  size_t lengths[] = {text.size()};
  if (!replace_file(report_temporary, report_path, parts, lengths, 1))
    fprintf(stderr, "tarvick: the report could not be written to %s\n", report_path);
}

void record_loaded() {
  if (!recording())
    return;
  end_phase();
  trace("loaded: %u bytes, %u lines, %u nacks, status 0", (unsigned)facts.bytes_sent,
        (unsigned)facts.lines_sent, (unsigned)facts.nacks);
  flush_trace();
  json report = facts_json();
  add_counts(&report);
  report["outcome"] = "loaded";
  report["exit_status"] = 0;
  write_report(report);
}

void record_failed(const failure *what, va_list values) {
  if (!recording())
    return;
  end_phase();
  char message[TRACE_LINE];
  va_list shown;
  va_copy(shown, values);
  vsnprintf(message, sizeof message, what->message, shown);
  va_end(shown);
  message[strcspn(message, "\n")] = '\0'; // the usage's second line stays out
  const char *name = NULL;
  unsigned code = 0;
  bool has_code = failure_values(what, values, &name, &code);
  trace("failed: %s, status 2", message);
  flush_trace();
  json report = facts_json();
  add_counts(&report);
  report["outcome"] = "failed";
  report["exit_status"] = 2;
  report["failure"] = {{"message", message}, {"code", has_code ? json(code) : json(nullptr)}};
  write_report(report);
}

// Plain system calls from here on: a signal handler calls it.
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

void record_stopped(const char *stopped_by) {
  char line[64];
  size_t length = 0;
  if (tracing()) {
    static const char STOPPED[] = " ms  stopped by ";
    flush_trace();
    static const char SPACES[] = "       ";
    length = decimal((uint32_t)ms_since(STARTED), line);
    const char *parts[] = {SPACES, line, STOPPED, stopped_by, "\n"};
    size_t lengths[] = {length < 7 ? 7 - length : 0, length, sizeof STOPPED - 1, strlen(stopped_by),
                        1};
    for (int i = 0; i < 5; i++)
      write_record(trace_file, parts[i], lengths[i]);
  }
  size_t head = stopped_head_length;
  if (report_path[0] == '\0' || head == 0)
    return;
  char counts[200];
  length = 0;
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
  const char *phase = current_phase >= 0 ? PHASE_NAMES[current_phase] : "";
  const char *parts[] = {stopped_head, counts, OUTCOME, phase, BY, stopped_by, "\"}\n"};
  size_t lengths[] = {
      head, length, sizeof OUTCOME - 1, strlen(phase), sizeof BY - 1, strlen(stopped_by), 3};
  replace_file(report_temporary, report_path, parts, lengths, 7);
}
