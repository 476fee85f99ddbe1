// The serial port for the whole run: opening and configuration, the read
// time-out, and the two transfer primitives the protocols use.
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

void open_serial_port(const char *name, const char *settings);
void set_read_timeout(DWORD total_ms); // 0: wait without limit
void send_bytes(const void *data, uint32_t length);
// Waits until everything sent has left the port.
void wait_until_sent();
// Progress for a person at a terminal, around the sending of `total` bytes.
void watch_sending(uint32_t total);
void end_watching();
received_byte receive_byte();
