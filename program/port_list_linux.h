// The serial ports of a Linux machine, from sysfs: every tty with a device
// behind it, but no legacy 8250 port without a UART, no virtual console and
// no pseudo-terminal. The roots are parameters so that a test can give a
// tree of its own.
#pragma once

#include <string>
#include <vector>

#include "usb_identity.h"

struct listed_port {
  std::string name;        // the device to give as the port
  std::string description; // what the list shows: the adapter, then "also" the stable names
  std::string adapter;     // USB vendor:product and product, or the UART
  std::string serial;      // the USB device's serial number, where it has one
  std::string stable;      // the stable names, a space between two
  bool usb;                // a USB device is behind it, of this identity
  usb_identity identity;
};

std::vector<listed_port> find_serial_ports(const std::string &sys_root,
                                           const std::string &dev_root);
