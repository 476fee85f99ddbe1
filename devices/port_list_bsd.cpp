// macOS: the call-out devices (/dev/cu.*, which open without waiting for
// carrier) of IOKit's serial services, with the identity and the place
// (locationID, and the interface's number) of the USB device above them
// where there is one.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/serial/IOSerialKeys.h>

#include <algorithm>
#include <cstdio>

#include "port_list.h"
#include "usb_location.h"

// Gives a property of the service, or of the first service above it that
// has it.
static CFTypeRef property_of(io_object_t service, const char *key) {
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  CFTypeRef value =
      IORegistryEntrySearchCFProperty(service, kIOServicePlane, name, kCFAllocatorDefault,
                                      kIORegistryIterateRecursively | kIORegistryIterateParents);
  CFRelease(name);
  return value;
}

static bool text_of(io_object_t service, const char *key, std::string *text) {
  CFTypeRef value = property_of(service, key);
  char buffer[1024];
  bool found = value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
               CFStringGetCString((CFStringRef)value, buffer, sizeof buffer, kCFStringEncodingUTF8);
  if (found)
    *text = buffer;
  if (value != nullptr)
    CFRelease(value);
  return found;
}

static bool number_of(io_object_t service, const char *key, unsigned *number) {
  CFTypeRef value = property_of(service, key);
  int read = 0;
  bool found = value != nullptr && CFGetTypeID(value) == CFNumberGetTypeID() &&
               CFNumberGetValue((CFNumberRef)value, kCFNumberIntType, &read);
  if (found)
    *number = (unsigned)read;
  if (value != nullptr)
    CFRelease(value);
  return found;
}

// The USB device's place, and the interface's where the service hangs
// from one.
static void note_location(io_object_t service, system_port *port) {
  unsigned id = 0, interface = 0;
  if (!number_of(service, "locationID", &id))
    return;
  port->location = location_of_id(id);
  if (!port->location.empty() && number_of(service, "bInterfaceNumber", &interface))
    port->interface_location = port->location + ":" + std::to_string(interface);
}

std::vector<system_port> system_serial_ports() {
  std::vector<system_port> ports;
  io_iterator_t services = 0;
  // MACH_PORT_NULL is the default main port, under its old name and its new.
  if (IOServiceGetMatchingServices(MACH_PORT_NULL, IOServiceMatching(kIOSerialBSDServiceValue),
                                   &services) != KERN_SUCCESS)
    return ports;
  for (io_object_t service; (service = IOIteratorNext(services)) != 0; IOObjectRelease(service)) {
    system_port port = {};
    if (!text_of(service, kIOCalloutDeviceKey, &port.name))
      continue;
    port.usb = number_of(service, "idVendor", &port.identity.vendor) &&
               number_of(service, "idProduct", &port.identity.product);
    if (port.usb) {
      text_of(service, "USB Serial Number", &port.identity.serial);
      text_of(service, "USB Product Name", &port.adapter);
      port.serial = port.identity.serial;
      port.description = port.adapter;
      note_location(service, &port);
    }
    ports.push_back(port);
  }
  IOObjectRelease(services);
  std::sort(ports.begin(), ports.end(),
            [](const system_port &a, const system_port &b) { return a.name < b.name; });
  return ports;
}
