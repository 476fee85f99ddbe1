// The run's record as one object: what the run learns, kept under one
// lock (the counts as atomics), fed to the trace, the report and the copy a
// stop writes; and the ending, which judges the records before the exit
// status is decided.
#include "run_record.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "../platform/platform.h"
#include "../platform/record_files.h"
#include "image_hash.h"
#include "record_stop_copy.h"
#include "record_trace.h"
#include "status_line.h"

static const record_moment STARTED = moment_now();
static const size_t TRACE_LINE = 1024;
static const char NOT_FINISHED[] = "not finished";

static const char *trace_asked = nullptr;
static const char *report_asked = nullptr;
static record_place report_place = {};

// What the run learns, under the lock; the counts beside it.
static std::mutex record_lock;
static report_facts facts = {};
static std::atomic<int> current_phase(-1);
static record_moment phase_started;
static std::string failure_message;
static bool failure_has_code = false;
static unsigned failure_code = 0;
static std::atomic<uint32_t> bytes_taken(0), lines_counted(0), nacks_counted(0), size_known(0);
static std::atomic<int> attempts_counted(0);

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
  return trace_open();
}

static bool reporting() {
  return report_place.kind != RECORD_NONE;
}

bool recording() {
  return tracing() || reporting();
}

// What a stop would write agrees with the facts as they are now. The
// caller holds the lock.
static void refresh_stop_copy() {
  if (!reporting())
    return;
  try {
    keep_stop_copy_ready(report_head(facts));
  } catch (const std::exception &) {
  }
}

static void note_start_time() {
  std::lock_guard<std::mutex> lock(record_lock);
  if (!facts.started.empty())
    return;
  char text[32];
  time_t now = time(NULL);
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
  facts.started = text;
}

void record_asked(const char *port, const char *settings, const char *image,
                  const char *programming_file) {
  std::lock_guard<std::mutex> lock(record_lock);
  facts.port = port;
  facts.settings_asked = settings;
  facts.image = image;
  facts.has_programming_file = programming_file != nullptr;
  facts.programming_file = programming_file != nullptr ? programming_file : "";
  facts.sha256_unavailable = NOT_FINISHED;
  for (long long &ms : facts.phase_ms)
    ms = -1;
}

const char *start_trace() {
  if (trace_asked == nullptr)
    return nullptr;
  note_start_time();
  return open_trace(trace_asked);
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
  add_trace_line(line, length);
}

// Writes the report now; a failure is kept in the place's error, and the
// way out says it once, naming the file.
static bool write_report(const std::string &whole) {
  const char *parts[] = {whole.c_str()};
  size_t lengths[] = {whole.size()};
  return replace_whole(&report_place, parts, lengths, 1);
}

static const char *reason_of(unsigned error) {
  static char reason[256];
  describe_error(error, reason, sizeof reason);
  return reason;
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
  std::string running;
  {
    std::lock_guard<std::mutex> lock(record_lock);
    refresh_stop_copy();
    if (report_place.kind == RECORD_STREAM)
      return nullptr;
    try {
      running = report_text(facts, counts_now(), {"running", -1, "", false, 0, ""});
    } catch (const std::exception &) {
      report_place.error = ERROR_NOT_ENOUGH_MEMORY;
    }
  }
  if (report_place.error == 0 && write_report(running))
    return nullptr;
  report_place.kind = RECORD_NONE;
  return reason_of(report_place.error);
}

// The caller holds the lock.
static void leave_phase() {
  int phase = current_phase;
  if (phase >= 0)
    facts.phase_ms[phase] = ms_since(phase_started);
}

// The phase is known without a record too: progress shown as JSON tells it.
void begin_phase(run_phase phase) {
  if (!recording()) {
    current_phase = phase;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(record_lock);
    leave_phase();
    current_phase = phase;
    phase_started = moment_now();
    refresh_stop_copy();
  }
  write_out_trace();
}

const char *phase_now() {
  int phase = current_phase;
  return phase >= 0 ? PHASE_NAMES[phase] : "starting";
}

void port_opened(const char *device) {
  std::lock_guard<std::mutex> lock(record_lock);
  facts.device = device;
  refresh_stop_copy();
}

void adapter_found(const adapter_facts &adapter) {
  std::lock_guard<std::mutex> lock(record_lock);
  facts.adapter = adapter;
  refresh_stop_copy();
}

void settings_read_back(const char *text) {
  std::lock_guard<std::mutex> lock(record_lock);
  facts.settings_read_back = text;
  refresh_stop_copy();
}

void image_size_known(uint32_t size) {
  size_known = size;
  std::lock_guard<std::mutex> lock(record_lock);
  facts.image_size_known = true;
  facts.image_size = size;
  refresh_stop_copy();
}

// On the hash's thread. Where the library is missing, the trace says so
// once: every run's hash is null there.
static void hash_done(sha256_outcome outcome, const char *text) {
  if (outcome == SHA256_NO_LIBRARY)
    trace("SHA-256: no library for it here (libcrypto): the report's hash is null");
  std::lock_guard<std::mutex> lock(record_lock);
  if (outcome == SHA256_DONE)
    facts.sha256 = text;
  else if (outcome == SHA256_NO_LIBRARY)
    facts.sha256_unavailable = "no library";
  refresh_stop_copy();
}

void image_read(const void *data, uint32_t size) {
  if (!recording())
    return;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(record_lock);
    path = facts.image;
  }
  trace("image %s: %lu bytes", path.c_str(), (unsigned long)size);
  hash_beside(data, size, hash_done);
}

const char *image_sha256(const char **unavailable) {
  std::lock_guard<std::mutex> lock(record_lock);
  *unavailable = facts.sha256_unavailable.c_str();
  return facts.sha256.empty() ? nullptr : facts.sha256.c_str();
}

void count_bytes_taken(uint32_t bytes) {
  bytes_taken.fetch_add(bytes, std::memory_order_relaxed);
}

void count_handshake_attempt(int attempt) {
  attempts_counted = attempt;
}

void count_line(uint32_t number) {
  lines_counted = number;
}

void count_nacks(uint32_t nacks) {
  nacks_counted = nacks;
}

report_counts counts_now() {
  return {(uint32_t)attempts_counted.load(), bytes_taken.load(), lines_counted.load(),
          nacks_counted.load()};
}

uint32_t image_size_now() {
  return size_known;
}

void note_failure(const failure *what, va_list values) {
  if (!recording())
    return;
  char message[TRACE_LINE];
  va_list shown;
  va_copy(shown, values);
  vsnprintf(message, sizeof message, what->message, shown);
  va_end(shown);
  message[strcspn(message, "\n")] = '\0'; // the usage's second line stays out
  const char *name = NULL;
  std::lock_guard<std::mutex> lock(record_lock);
  failure_message = message;
  failure_has_code = failure_values(what, values, &name, &failure_code);
}

// Says on standard error that a record could not be written, where that
// takes a line at once: a terminal that takes nothing holds no ending.
static void say_lost(unsigned error, const char *what, const char *path) {
  if (error == 0 || (error_is_terminal() && !error_takes_output_now()))
    return;
  char line[RECORD_PATH_SIZE + 400];
  int length = snprintf(line, sizeof line, "tarvick: the %s could not be written to %s: %s\n", what,
                        path, reason_of(error));
  write_error_at_once(line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
}

// The trace's last lines go out and the drawing thread lets go of the
// screen; then the trace is judged.
static unsigned close_trace(bool failed) {
  report_counts counts = counts_now();
  if (failed)
    trace("failed: %s", failure_message.c_str());
  else
    trace("loaded: %u bytes, %u lines, %u nacks", counts.bytes_sent, counts.lines_sent,
          counts.nacks);
  write_out_trace();
  stop_drawing();
  return tracing() ? trace_error() : 0;
}

int finish_records(int status) {
  if (!recording())
    return status;
  bool failed;
  {
    std::lock_guard<std::mutex> lock(record_lock);
    leave_phase();
    failed = !failure_message.empty() || status != 0;
  }
  unsigned trace_lost = close_trace(failed);
  int decided = failed || trace_lost != 0 ? FAILURE_STATUS : status;
  if (reporting()) {
    std::string record_error;
    if (trace_lost != 0)
      record_error = std::string("the trace could not be written to ") + trace_asked + ": " +
                     reason_of(trace_lost);
    std::string whole;
    try {
      std::lock_guard<std::mutex> lock(record_lock);
      whole = report_text(facts, counts_now(),
                          {failed ? "failed" : "loaded", decided, failure_message, failure_has_code,
                           failure_code, record_error});
    } catch (const std::exception &) {
      report_place.error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (report_place.error != 0 || !write_report(whole))
      decided = FAILURE_STATUS;
  }
  say_lost(report_place.error, "report", report_asked);
  say_lost(trace_lost, "trace", trace_asked);
  return decided;
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

// "    123 ms  stopped by SIGINT": the trace's last line, as trace() lays
// it out.
static size_t stopped_line(const char *stopped_by, char *line, size_t room) {
  char number[12];
  size_t digits = decimal((uint32_t)ms_since(STARTED), number), at = 0;
  for (; at + digits < 7; at++)
    line[at] = ' ';
  memcpy(line + at, number, digits);
  at += digits;
  static const char STOPPED[] = " ms  stopped by ";
  size_t by = strlen(stopped_by);
  if (at + sizeof STOPPED + by + 1 > room)
    by = room - at - sizeof STOPPED - 1;
  memcpy(line + at, STOPPED, sizeof STOPPED - 1);
  at += sizeof STOPPED - 1;
  memcpy(line + at, stopped_by, by);
  at += by;
  line[at++] = '\n';
  return at;
}

static void say_lost_at_once(unsigned error, const char *what, const char *path) {
  if (error == 0)
    return;
  const char *parts[] = {"tarvick: the ", what, " could not be written to ", path, "\n"};
  for (const char *part : parts)
    write_error_at_once(part, strlen(part));
}

void finish_records_at_once(const char *stopped_by) {
  if (tracing()) {
    char line[128];
    write_out_trace_at_once(line, stopped_line(stopped_by, line, sizeof line));
  }
  if (reporting()) {
    settle_replacing_for_a_stop();
    int phase = current_phase;
    write_stop_copy(&report_place, counts_now(), phase >= 0 ? PHASE_NAMES[phase] : "", stopped_by);
  }
  say_lost_at_once(report_place.error, "report", report_asked);
  say_lost_at_once(tracing() ? trace_error() : 0, "trace", trace_asked);
}
