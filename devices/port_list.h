// The serial ports of this machine: for a person (--list), for the run's
// record, and for finding a port by the USB device behind it or by its
// place. One source file a platform reads them: port_list_linux.cpp,
// port_list_windows.cpp, port_list_bsd.cpp; port_list.cpp does the rest.
#pragma once

#include <string>
#include <vector>

#include "usb_identity.h"

// A serial port as the system tells of it.
struct system_port {
  std::string name;        // the device to give as the port
  std::string description; // what the list shows: the adapter, then "also" its stable names
  std::string adapter;     // USB vendor:product and product, the UART, the friendly name
  std::string serial;      // the USB device's serial number, where it has one
  std::string stable;      // the port's other, lasting names, a space between two
  bool usb;                // a USB device is behind it, of this identity
  usb_identity identity;
  std::string location;           // the USB device's place (usb_location.h), where known
  std::string interface_location; // its place with the port's interface, where known
  std::string own_location;       // the place that names this port alone
};

// The serial ports this machine has now, each USB port with its own place:
// its device's, or where the device has several ports, its interface's.
std::vector<system_port> serial_ports_now();
// The same, as the system alone tells them (one file a platform).
std::vector<system_port> system_serial_ports();
// Gives each USB port its own place.
void settle_own_locations(std::vector<system_port> *ports);

// Prints the serial ports this machine has, one a line: the name to give
// as the port, then a description where the system has one, and for a USB
// port the identity and the place to give instead of the name; for one of
// several ports of one device, whose identity all of them share, the
// place alone. Opens no port and lists only what could be opened. Returns
// how many it printed.
int list_serial_ports();

// Whether a port of that name is there now: a file or device of the name,
// or for a bare name, a port in the list (under Wine a COM name is no
// file).
bool port_is_there(const std::string &name);

// What the system says of `device`, found by the file it is: its entry in
// the list, or its name alone where the list has none.
system_port port_of_device(const std::string &device);

// The place to match a port against: its interface's where known.
const std::string &fullest_location(const system_port &port);

// The port's names, joined for a message: "/dev/ttyUSB0 (usb@1-1.4:1.0),
// /dev/ttyUSB1 (usb@1-1.4:1.1)".
std::string names_with_places(const std::vector<system_port> &ports);
