// The record of a run, for support and for the factory: the trace, a line
// for each event as it happens, with the milliseconds since the start
// (--trace=FILE, "-" for standard error), and the report, one JSON object
// that replaces the file whole (--report=FILE): it says the run is running
// from its start, and how it ended once it has, however it ended.
//
// The record is one object. The layers feed it through the narrow calls
// below, and nothing else writes its state. Its jobs are files of their
// own: the trace (record_trace.cpp), the report's text (record_report.cpp)
// and the copy a stop writes (record_stop_copy.cpp). Where neither record
// is asked for, each call costs a test. Never the image's contents.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>

#include "failures.h"
#include "record_report.h"

// These note where the records go, as given on the command line; the last
// one given wins. No file is made until the records start.
void trace_to(const char *path);
void report_to(const char *path);
const char *trace_path(); // null where none was asked for
const char *report_path();
bool tracing();
bool recording(); // a trace or a report

// What the run is asked to do, noted before the records start.
void record_asked(const char *port, const char *settings, const char *image,
                  const char *programming_file);
// Starts each record once the command line is taken: the trace is made,
// and the report replaced by one that says the run is running. Each gives
// null, or why its file cannot be written.
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

// Begins each of the run's phases in turn, leaving the one before; the
// report gives each one's time.
void begin_phase(run_phase phase);
// The phase the run is in, by its name in the report ("starting" before the
// first).
const char *phase_now();

// What the run learns, as it learns it.
void port_opened(const char *device);
void adapter_found(const adapter_facts &adapter);
void settings_read_back(const char *text);
// The image's size, from the file before its bytes are read; then its
// bytes, whose SHA-256 a thread of its own works out beside the upload.
void image_size_known(uint32_t size);
void image_read(const void *data, uint32_t size);
// The image's SHA-256 once worked out; null before, with why in
// `unavailable` ("not finished", "no library").
const char *image_sha256(const char **unavailable);

// The counts, kept with or without a record (the progress shows them):
// each an atomic store, cheap on the sending path.
void count_bytes_taken(uint32_t bytes);
void count_handshake_attempt(int attempt);
void count_line(uint32_t number);
void count_nacks(uint32_t nacks);
report_counts counts_now();
uint32_t image_size_now();

// How the run ended. A failure is noted with its message's values, as
// given to report_and_exit.
void note_failure(const failure *what, va_list values);
// The way out judges the records and decides the exit status once: the
// trace's last lines written out and checked (the drawing thread stopped
// meanwhile), then the report written with the status that follows,
// `status`, or 2 where a record could not be written, which the report
// names in `record_error` where it can still be written. Gives that status.
// A record that was lost is said on standard error.
int finish_records(int status);
// A stop finishes them from a signal handler or a console control handler:
// plain system calls only, and the report in one write.
void finish_records_at_once(const char *stopped_by);
