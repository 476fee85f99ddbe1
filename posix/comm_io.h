// Reads and writes on a terminal device, honouring the handle's time-outs
// (comm_io.cpp); ReadFile and WriteFile come here for a port.
#pragma once

#include "handle.h"

BOOL read_port(posix_handle *port, BYTE *buffer, DWORD count, DWORD *delivered);
BOOL write_port(posix_handle *port, const BYTE *buffer, DWORD count, DWORD *written);
