// What a HANDLE of the POSIX layer stands for: a descriptor, what kind of
// file it is, and the time-out record the platform keeps per port.
#pragma once

#include <windows.h>

struct posix_handle {
  int fd;
  bool is_tty;
  bool is_regular; // a regular file, whose reads fill the whole count
  bool is_fifo;    // a named pipe, whose first read waits for its writer
  COMMTIMEOUTS timeouts;
};

// The open handle behind `handle`, or null (with the last error set to EBADF).
posix_handle *handle_of(HANDLE handle);

// The open serial device behind `handle`, or null (with ENOTTY or EBADF set),
// since the communications calls fail on anything that is not a port.
posix_handle *port_of(HANDLE handle);

// Sets the last error and returns FALSE, the shape of every failing call.
BOOL fail_with(int error_code);

// Reads and writes on a terminal device, honouring the handle's time-outs.
BOOL read_port(posix_handle *port, BYTE *buffer, DWORD count, DWORD *delivered);
BOOL write_port(posix_handle *port, const BYTE *buffer, DWORD count, DWORD *written);

// Exclusive use of a port (held_ports.cpp): taken when a port opens with
// share mode 0, given back when its handle closes or the process ends.
void hold_port(int fd);
void release_port(int fd);
