// The record of a run, for support and for the factory: the trace, a line an
// event as it happens, with the milliseconds since the start (--trace=FILE,
// "-" for standard error), and the report, one JSON object written whole
// when the run ends, however it ends (--report=FILE). Where neither is
// asked for, each call costs a test. Never the image's contents.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>

#include "failures.h"

// Where they go; false where the file cannot be made there.
bool trace_to(const char *path);
bool report_to(const char *path);
bool tracing();
bool recording(); // a trace or a report

// A trace line, formatted by printf.
void trace(const char *format, ...);

// The moments the record measures latencies and times between.
typedef std::chrono::steady_clock::time_point record_moment;
inline record_moment moment_now() {
  return std::chrono::steady_clock::now();
}
long long ms_between(record_moment from, record_moment to);
inline long long ms_since(record_moment from) {
  return ms_between(from, moment_now());
}

enum run_phase { PHASE_OPENING, PHASE_HANDSHAKE, PHASE_UPLOAD, PHASE_DRAIN, PHASE_LINES, PHASES };

// What the report tells, as each part of the program learns it.
const int SHA256_TEXT = 2 * 32 + 1;
struct run_facts {
  const char *port;
  const char *settings_asked;
  const char *image;
  const char *programming_file; // or null
  char settings_read_back[200];
  char adapter[200]; // what the system says of the port: USB vendor:product and product, a UART
  char adapter_serial[100];
  char stable_names[400]; // the port's other, lasting names, a space between two
  uint32_t image_size;
  char image_sha256[SHA256_TEXT];
  std::atomic<bool> image_sha256_ready; // worked out beside the upload
  volatile int handshake_attempts;
  volatile uint32_t bytes_sent;
  volatile uint32_t lines_sent;
  volatile uint32_t nacks;
};
extern run_facts facts;

// The run's phases, begun in turn; each one's time goes into the report.
void begin_phase(run_phase phase);

// How the run ended: completed, failed through report_and_exit (the
// message's values as given to it), or stopped (from a signal handler or a
// console control handler: plain system calls only). Each writes the end to
// the trace and the report.
void record_loaded();
void record_failed(const failure *what, va_list values);
void record_stopped(const char *stopped_by);
