// The serial ports as every system shows them: each port's own place, the
// list for a person, and a device looked up in it.
#include "port_list.h"

#include <cstdio>

#include "../platform/platform.h"
#include "../platform/record_files.h"

const std::string &fullest_location(const system_port &port) {
  return port.interface_location.empty() ? port.location : port.interface_location;
}

// A port shares its device's place with the other ports of a multi-port
// chip: only its interface then names it alone.
void settle_own_locations(std::vector<system_port> *ports) {
  for (system_port &port : *ports) {
    int sharing = 0;
    for (const system_port &other : *ports)
      sharing += !port.location.empty() && other.location == port.location;
    port.own_location = sharing > 1 ? fullest_location(port) : port.location;
  }
}

std::vector<system_port> serial_ports_now() {
  std::vector<system_port> ports = system_serial_ports();
  settle_own_locations(&ports);
  return ports;
}

int list_serial_ports() {
  std::vector<system_port> ports = serial_ports_now();
  for (const system_port &port : ports) {
    std::string line = port.name;
    if (!port.description.empty())
      line += "  " + port.description;
    // The identity of one port of several is the others' too: it would be
    // refused as naming more than one.
    if (port.usb && port.own_location == port.location)
      line += "  " + identity_text(port.identity);
    if (!port.own_location.empty())
      line += "  usb@" + port.own_location;
    printf("%s\n", line.c_str());
  }
  return (int)ports.size();
}

// A path is there or not; only a bare name (COM5) is looked for in the
// list, which a station that looks every 100 ms must not read for nothing.
bool port_is_there(const std::string &name) {
  if (name_exists(name.c_str()))
    return true;
  if (name.find('/') != std::string::npos)
    return false;
  for (const system_port &port : system_serial_ports())
    if (same_file(port.name.c_str(), name.c_str()))
      return true;
  return false;
}

system_port port_of_device(const std::string &device) {
  for (const system_port &port : serial_ports_now())
    if (same_file(port.name.c_str(), device.c_str()))
      return port;
  system_port alone = {};
  alone.name = device;
  return alone;
}

std::string names_with_places(const std::vector<system_port> &ports) {
  std::string text;
  for (const system_port &port : ports) {
    text += (text.empty() ? "" : ", ") + port.name;
    if (!port.own_location.empty())
      text += " (usb@" + port.own_location + ")";
  }
  return text;
}
