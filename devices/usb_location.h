// The place of a USB device: the hub port it is plugged into. It stays the
// same when a board is plugged out and in again on the same socket, or
// reboots into a boot loader that enumerates as another device, so a board
// is known by it whatever it calls itself. Written as bus, a dash, then the
// port on each hub down to the device, a dot between two, and where one
// interface of a device with several ports is meant, a colon and that
// interface: "1-1.4", "1-1.4:1.1". A hub's place begins the place of every
// socket behind it.
//   Linux: the USB device's sysfs name, as it stands ("1-1.4:1.1", the
//     interface as configuration.interface).
//   Windows: the device's location path, made short (location_of_path).
//   macOS: the device's locationID, written the same way (location_of_id).
#pragma once

#include <string>

// Reads `text` as usb@LOCATION. False where it is none (no "usb@"); where
// it is one that is badly formed, `refused` says why, in words that
// complete "usb@...: ".
bool read_usb_location(const char *text, std::string *location, const char **refused);

// Whether `place` is `asked`, or behind the hub at `asked`.
bool place_is_within(const std::string &place, const std::string &asked);

// A Windows location path made short: the numbers of the PCI root and of
// each PCI device on the way to the USB controller, a dot between two, a
// dash, then the USB ports down to the device, and an interface of a
// composite device after a colon.
//   PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(4)           0.1400-1.4
//   PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(2)#USBMI(1)  0.1c04.0000-2:1
// Empty where the path leads to no USB device.
std::string location_of_path(const std::string &path);

// A macOS locationID: its top byte is the bus, then a nibble for the port
// on each hub level until a zero: 0x14130000 is 14-1.3. Empty where it
// names no port.
std::string location_of_id(unsigned id);
