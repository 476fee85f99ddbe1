// Exclusive use of a port, and what Windows does for a process when it
// ends, however it ends, that a POSIX system does not: the ports it held
// for exclusive use are let go, with the driver flags the run changed on
// them. The program's way out calls it, however the run ends. Beyond the
// Win32 interface, for the platform's own policies and for CreateFileA and
// CloseHandle.
#pragma once

#include <windows.h>

// Taken when a port opens with share mode 0, given back when its handle
// closes or release_held_ports is called.
void hold_port(int fd);
void release_port(int fd);

// Gives back every held port and closes it at once, dropping what is still
// queued for the line, as Windows cancels an ending process's writes.
// System calls only: safe in a signal handler.
void release_held_ports();

// Asks the driver of a port opened for exclusive use to pass received
// bytes on at once (ASYNC_LOW_LATENCY), where it offers that. Its earlier
// flags come back when the port is closed or released.
bool request_low_latency(HANDLE port);

// Keeps the modem lines as the run left them when the port closes, where
// Linux and macOS would drop DTR and RTS (HUPCL, which the port then keeps
// cleared). False where the port cannot.
bool keep_modem_lines(HANDLE port);
