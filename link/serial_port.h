// The serial port for the whole run: opening and configuration, the read
// time-out, and the primitives that sending and receiving are made of.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

extern HANDLE serial_port;
extern const char *port_name; // as typed on the command line, for messages
extern uint32_t bytes_sent;   // through send_bytes only, modulo 2^32

// What one read of one byte gave: the call's outcome and error code, the
// number of bytes it delivered (0 after a time-out) and, when 1, the byte.
struct received_byte {
  BOOL ok;
  unsigned error_code;
  DWORD count;
  BYTE value;
};

// The read time-out set at opening: the handshake waits this long for each
// reply.
const DWORD OPENING_READ_TIMEOUT_MS = 2000;

// A node that has just appeared belongs to root until udev hands it over:
// a refusal to use it is waited out this long where the run waits for its
// port.
const DWORD PERMISSION_SETTLES_MS = 2000;

// What the options ask of the port.
struct port_choices {
  bool waits;             // for a port that is not there or that another program has
  DWORD wait_ms;          // for at most this long; 0: until stopped
  bool drives_dtr;        // a reset sequence drives the line
  bool drives_rts;        //
  DWORD write_timeout_ms; // a write that nothing leaves for this long fails; 0: none
  // Finds the device to open for the port as it was given, on each try:
  // false, with `refused` set, where none is there (yet). Empty: the name
  // as it stands.
  std::function<bool(std::string *device, unsigned *refused)> find_device;
};

// Opens and configures the port; gives the device it opened.
std::string open_serial_port(const char *name, const char *settings,
                             const port_choices &choices = port_choices());
// The 1200-baud touch of a board with a native USB port, which then
// reboots into its boot loader: opens the port as the run's opening does,
// makes every check of the settings and the options on it and lets the
// driver judge the settings, and only then sets 1200 baud, drops DTR and
// closes it. A run refused here has not touched the board. Gives the
// device it touched.
std::string touch_port(const char *name, const char *settings, const port_choices &choices);
void set_read_timeout(DWORD total_ms); // 0: wait without limit
received_byte receive_byte();
// A reply: one byte within `wait_ms` (0: no limit). Where a write time-out
// is asked, what was written before it (a programming line, a handshake
// request) must also leave the port: a driver's queue that does not fall
// for that long ends the run with "fail to write to PORT".
received_byte receive_reply(DWORD wait_ms);
// Writes one byte that goes straight to the port (the handshake's request),
// not counted; under a write time-out, tried again until the port takes it
// or the time-out has passed, which ends the run. Gives whether it went.
BOOL write_request(BYTE request, unsigned *error_code);

// One write of up to `count` bytes; returns how many the port took. Under
// a write time-out that may be none, after a slice of it (the sending
// judges the time-out); otherwise at least one. A failure ends the run.
DWORD write_to_port(const BYTE *bytes, DWORD count);
// Gives how long a write may go without a byte leaving, as asked; 0 means
// no limit.
DWORD write_time_limit();
// Gives what the driver still holds for the line; false where the driver
// does not tell.
bool output_queued(DWORD *queued);
// Gives how many bytes a second the line carries at the speed and framing
// set.
uint32_t line_bytes_per_second();
