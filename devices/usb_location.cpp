// The place of a USB device: its grammar, what lies within a hub's place,
// and how Windows and macOS tell it.
#include "usb_location.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

static const char PREFIX[] = "usb@";
static const char FORM[] = "a USB location is usb@ and the place tarvick --list shows: usb@1-1.4, "
                           "or usb@1-1.4:1.1 for one port of several";

// Gives the parts of `text` between `separator`s; an empty text has one
// empty part.
static std::vector<std::string> parts_of(const std::string &text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text)
    if (c == separator)
      parts.emplace_back();
    else
      parts.back() += c;
  return parts;
}

// Numbers of at most eight digits, in hex or in decimal, a dot between two.
static bool numbers(const std::string &text, bool hex) {
  for (const std::string &number : parts_of(text, '.')) {
    if (number.empty() || number.size() > 8)
      return false;
    for (char c : number)
      if (!(hex ? isxdigit((unsigned char)c) : isdigit((unsigned char)c)))
        return false;
  }
  return true;
}

bool read_usb_location(const char *text, std::string *location, const char **refused) {
  if (strncmp(text, PREFIX, sizeof PREFIX - 1) != 0)
    return false;
  *refused = nullptr;
  location->clear();
  for (const char *c = text + sizeof PREFIX - 1; *c != '\0'; c++)
    *location += (char)tolower((unsigned char)*c);
  std::vector<std::string> place_and_interface = parts_of(*location, ':');
  std::vector<std::string> bus_and_ports = parts_of(place_and_interface[0], '-');
  bool formed = place_and_interface.size() <= 2 && bus_and_ports.size() == 2 &&
                numbers(bus_and_ports[0], true) && numbers(bus_and_ports[1], true) &&
                (place_and_interface.size() == 1 || numbers(place_and_interface[1], false));
  if (!formed)
    *refused = FORM;
  return true;
}

bool place_is_within(const std::string &place, const std::string &asked) {
  if (place.compare(0, asked.size(), asked) != 0 || asked.empty())
    return false;
  return place.size() == asked.size() || place[asked.size()] == '.' || place[asked.size()] == ':';
}

// Gives the number in "NAME(number)" where `element` is one, lower case.
static bool element_number(const std::string &element, const char *name, std::string *number) {
  size_t length = strlen(name);
  if (element.compare(0, length, name) != 0 || element.size() < length + 3 ||
      element[length] != '(' || element.back() != ')')
    return false;
  number->clear();
  for (size_t i = length + 1; i + 1 < element.size(); i++)
    *number += (char)tolower((unsigned char)element[i]);
  return true;
}

std::string location_of_path(const std::string &path) {
  std::string controller, ports, interface, number;
  bool past_root = false;
  for (const std::string &element : parts_of(path, '#')) {
    if (!past_root &&
        (element_number(element, "PCIROOT", &number) || element_number(element, "PCI", &number)))
      controller += (controller.empty() ? "" : ".") + number;
    else if (!past_root && element_number(element, "USBROOT", &number))
      past_root = true;
    else if (past_root && interface.empty() && element_number(element, "USB", &number))
      ports += (ports.empty() ? "" : ".") + number;
    else if (past_root && !ports.empty() && element_number(element, "USBMI", &number))
      interface = ":" + number;
    else
      return ""; // a path of another kind (ACPI), or one not understood
  }
  if (controller.empty() || ports.empty())
    return "";
  return controller + "-" + ports + interface;
}

std::string location_of_id(unsigned id) {
  char bus[8];
  snprintf(bus, sizeof bus, "%x", id >> 24);
  std::string ports;
  for (int shift = 20; shift >= 0 && (id >> shift & 0xF) != 0; shift -= 4) {
    char port[4];
    snprintf(port, sizeof port, "%x", id >> shift & 0xF);
    ports += (ports.empty() ? "" : ".") + std::string(port);
  }
  return ports.empty() ? "" : std::string(bus) + "-" + ports;
}
