// The serial ports of this machine: for a person (--list), for the run's
// record, and for finding a port by the USB device behind it. One source
// file a platform provides it: port_list_linux.cpp, port_list_windows.cpp,
// port_list_bsd.cpp.
#pragma once

#include <string>
#include <vector>

#include "usb_identity.h"

// Prints the serial ports this machine has, one a line: the name to give
// as the port, then a description where the system has one, and the USB
// identity to give instead of the name. Opens no port and lists only what
// could be opened. Returns how many it printed.
int list_serial_ports();

// The serial ports this machine has now, by the names to open them by, with
// the USB identity of those that have one.
struct system_port {
  std::string name;
  bool usb;
  usb_identity identity;
};
std::vector<system_port> serial_ports_now();

// Notes for the run's record what the system says of `port`, as the list
// shows it, and the USB adapter's serial number.
void note_adapter(const char *port);
