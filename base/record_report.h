// The report's text, made from what the record knows: the head that a
// stop's copy keeps ready (everything but the counts and how the run
// ended), the tail a stop adds to it, and the whole report. Plain text
// work, which the record's unit tests hold without a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum run_phase { PHASE_OPENING, PHASE_HANDSHAKE, PHASE_UPLOAD, PHASE_DRAIN, PHASE_LINES, PHASES };
extern const char *const PHASE_NAMES[PHASES];

// What the system says of the device opened.
struct adapter_facts {
  std::string description; // USB vendor:product and product, the UART, the friendly name
  std::string serial;
  std::string identity; // usb:VID:PID:SERIAL, as the port may be given
  std::string location; // usb@LOCATION, likewise
  std::string stable_names;
};

struct report_facts {
  std::string started; // UTC
  std::string port;    // as given: a name, a USB identity or place
  std::string device;  // the device opened for it
  std::string settings_asked, settings_read_back;
  std::string image;
  bool has_programming_file;
  std::string programming_file;
  adapter_facts adapter;
  bool image_size_known; // from the file, before its bytes are read
  uint32_t image_size;
  std::string sha256;             // once worked out
  std::string sha256_unavailable; // else why not: "not finished", "no library"
  long long phase_ms[PHASES];     // -1: not entered
};

struct report_counts {
  uint32_t handshake_attempts, bytes_sent, lines_sent, nacks;
};

struct report_ending {
  const char *outcome; // "running", "loaded", "failed"
  int exit_status;     // -1: null (running)
  std::string failure_message;
  bool failure_has_code;
  unsigned failure_code;
  std::string record_error; // a record that could not be written; empty: none
};

// The head: the report without its counts and its ending, and without its
// closing brace.
std::string report_head(const report_facts &facts);
// The whole report, one line.
std::string report_text(const report_facts &facts, const report_counts &counts,
                        const report_ending &ending);
// The tail a stop adds to the head, into `into` (`room` bytes); gives its
// length. Plain code only: a signal handler calls it.
const size_t STOPPED_TAIL_ROOM = 512;
size_t stopped_tail(char *into, size_t room, const report_counts &counts, const char *phase,
                    const char *stopped_by);
