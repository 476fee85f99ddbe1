// The record of a run, for support and for the factory: the trace, one line
// for each event as it happens, with the milliseconds since the start
// (--trace=FILE, "-" for standard error), and the report, one JSON object
// that replaces the file whole (--report=FILE). The report says the run is
// running from its start, and how it ended once it has, however it ended.
// Where neither is asked for, each call costs a test. Never the image's
// contents.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>

#include "failures.h"

// These note where the records go, as given on the command line; the last
// one given wins. No file is made until the records start.
void trace_to(const char *path);
void report_to(const char *path);
const char *trace_path(); // null where none was asked for
const char *report_path();
bool tracing();
bool recording(); // a trace or a report

// Starts each record once the command line is taken, the facts below
// filled in: the trace is made, and the report replaced by one that says
// the run is running. Each gives null, or why its file cannot be written.
const char *start_trace();
const char *start_report();

// A trace line, formatted by printf.
void trace(const char *format, ...);

// The record measures latencies and times between these moments.
typedef std::chrono::steady_clock::time_point record_moment;
inline record_moment moment_now() {
  return std::chrono::steady_clock::now();
}
long long ms_between(record_moment from, record_moment to);
inline long long ms_since(record_moment from) {
  return ms_between(from, moment_now());
}

enum run_phase { PHASE_OPENING, PHASE_HANDSHAKE, PHASE_UPLOAD, PHASE_DRAIN, PHASE_LINES, PHASES };

// The facts the report tells; each part of the program fills in what it
// learns.
const int SHA256_TEXT = 2 * 32 + 1;
struct run_facts {
  const char *port;      // as given: a name, or a USB identity
  char port_device[512]; // the device opened for it
  const char *settings_asked;
  const char *image;
  const char *programming_file; // or null
  char settings_read_back[200];
  char adapter[200]; // what the system says of the port: USB vendor:product and product, a UART
  char adapter_serial[100];
  char adapter_identity[160]; // usb:VID:PID:SERIAL, as a port may be given
  char adapter_location[100]; // usb@LOCATION, likewise
  char stable_names[400];     // the port's other, lasting names, a space between two
  uint32_t image_size;
  char image_sha256[SHA256_TEXT];
  std::atomic<bool> image_sha256_ready; // worked out beside the upload
  volatile int handshake_attempts;
  volatile uint32_t bytes_sent; // what the port took, write by write
  volatile uint32_t lines_sent;
  volatile uint32_t nacks;
};
extern run_facts facts;

// Begins each of the run's phases in turn; the report gives each one's time.
void begin_phase(run_phase phase);
// The phase the run is in, by its name in the report ("starting" before the
// first).
const char *phase_now();
// Notes the image once it is read: its size goes into the record at once,
// and its SHA-256 once a thread of its own has worked it out.
void note_image(const char *path, const void *data, uint32_t size);
// Makes what a stop would write agree with the facts as they are now.
void refresh_stopped_report();

// How the run ended. A failure is noted with its message's values, as
// given to report_and_exit; the way out then finishes the records with the
// run's exit status, and false comes back where a record could not be
// written (said on standard error). A stop finishes them from a signal
// handler or a console control handler: plain system calls only.
void note_failure(const failure *what, va_list values);
bool finish_records(int status);
void finish_records_at_once(const char *stopped_by);
