// What a HANDLE of the POSIX layer stands for: a descriptor, what kind of
// file it is, and the time-out record the platform keeps per port; and the
// last error. The bottom of the layer (handles.cpp): every other part of it
// builds on this and on nothing of its own above.
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
