// The command line: options first, each also taken from the environment
// (the command line wins), then the port, the settings, the image and the
// programming file.
#pragma once

#include "../devices/port_finder.h"
#include "../link/modem_lines.h"
#include "../link/serial_port.h"
#include "../protocols/synchronize.h"
#include "../station/station.h"

struct run_options {
  const char *port;
  port_wanted wanted; // the port read: a name, a USB identity or a place
  const char *settings;
  const char *image;
  const char *programming_file; // or null
  port_choices opening;
  handshake_choices handshake;
  line_sequence reset_entry; // count 0: no reset
  line_sequence reset_exit;
  bool touch;             // --reset=touch: the 1200-baud touch before the opening
  DWORD reply_timeout_ms; // 0: without limit
  bool station;           // --station: boards loaded as they come, each in a run of its own
  station_setup station_asked;
};

// Reads the command line and the environment. The single-argument forms
// (--help, --version, --list) answer and end the run; missing arguments
// end it with the usage message, an option refused with a message that
// names it, all before the port is touched. For a station, `port` is its
// list of ports, and `station_asked` all it is asked.
const run_options &read_command_line(int argc, char **argv);
