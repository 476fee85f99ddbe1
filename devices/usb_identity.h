// A port named by the USB device behind it rather than by the name the
// system gave it: usb:VID:PID, usb:VID:PID:SERIAL or usb::SERIAL, the
// vendor and product in hex, the serial number as the device gives it.
// Also how a Windows device instance ID tells the same.
#pragma once

#include <string>

struct usb_identity {
  bool any_product; // usb::SERIAL
  unsigned vendor, product;
  std::string serial; // empty: any, where it is asked; none, where it is a port's
};

// Reads `text` as an identity. False where it is none (no "usb:"); where it
// is one that is badly formed, `refused` says why, in words that complete
// "usb:...: ".
bool read_usb_identity(const char *text, usb_identity *identity, const char **refused);

// Whether a port's identity is one asked for.
bool identity_matches(const usb_identity &asked, const usb_identity &port);

// The identity as it is given: usb:0403:6001:A50285BI.
std::string identity_text(const usb_identity &identity);

// A Windows port's identity from its device instance ID and its parent's:
// USB\VID_0403&PID_6001\A50285BI (the system's driver); an interface of a
// composite device, USB\VID_2341&PID_8036&MI_00\6&2C1F8B3&0&0000, whose
// serial is its parent's; FTDI's own driver, FTDIBUS\VID_0403+PID_6001+
// A50285BIA\0000, the serial followed by the port's letter. An instance
// part with '&' in it is one the system made up: no serial. False where
// the ID names no USB device.
bool identity_of_instance(const std::string &instance, const std::string &parent,
                          usb_identity *identity);
