// The serial port for the whole run: opening and configuration, the read
// time-out, and the primitives that sending and receiving are made of.
#pragma once

#include <windows.h>

#include <cstdint>

extern HANDLE serial_port;
extern const char *port_name; // as typed on the command line, for messages
extern uint32_t bytes_sent;   // through send_bytes only, modulo 2^32

// What one read of one byte gave: the call's outcome and error code, how
// many bytes it delivered (0 after a time-out) and, when 1, the byte.
struct received_byte {
  BOOL ok;
  unsigned error_code;
  DWORD count;
  BYTE value;
};

// The read time-out set at opening: the handshake waits this long for each
// reply.
const DWORD OPENING_READ_TIMEOUT_MS = 2000;

void open_serial_port(const char *name, const char *settings);
void set_read_timeout(DWORD total_ms); // 0: wait without limit
received_byte receive_byte();

// One write of up to `count` bytes; returns how many the port took (at
// least one). A failure, or nothing taken under the port's own write
// time-out, ends the run.
DWORD write_to_port(const BYTE *bytes, DWORD count);
// What the driver still holds for the line; a port that failed ends the run.
DWORD output_queued();
// How many bytes a second the line carries at the speed and framing set.
uint32_t line_bytes_per_second();
