// Finding the port a run is given, by its name, its USB identity or its
// place.
#include "port_finder.h"

#include "../base/report.h"
#include "../platform/platform.h"
#include "usb_location.h"

port_wanted read_port(const char *given) {
  port_wanted wanted = {};
  wanted.form = PORT_BY_NAME;
  wanted.given = given;
  if (name_exists(given))
    return wanted;
  const char *refused = nullptr;
  if (read_usb_identity(given, &wanted.identity, &refused))
    wanted.form = PORT_BY_IDENTITY;
  else if (read_usb_location(given, &wanted.location, &refused))
    wanted.form = PORT_BY_LOCATION;
  if (refused != nullptr)
    report_and_exit(&PORT_REFUSED, given, refused);
  return wanted;
}

const char *found_by(port_form form) {
  static const char *const FORMS[] = {"its name", "its USB identity", "its place"};
  return FORMS[form];
}

std::vector<system_port> ports_within(const std::string &location) {
  std::vector<system_port> within;
  for (const system_port &port : serial_ports_now())
    if (place_is_within(fullest_location(port), location))
      within.push_back(port);
  return within;
}

static std::vector<system_port> ports_of_identity(const usb_identity &identity) {
  std::vector<system_port> matching;
  for (const system_port &port : serial_ports_now())
    if (port.usb && identity_matches(identity, port.identity))
      matching.push_back(port);
  return matching;
}

bool find_port_now(const port_wanted &wanted, std::string *device, unsigned *refused) {
  if (wanted.form == PORT_BY_NAME) {
    *device = wanted.given;
    return true;
  }
  bool by_identity = wanted.form == PORT_BY_IDENTITY;
  std::vector<system_port> found =
      by_identity ? ports_of_identity(wanted.identity) : ports_within(wanted.location);
  if (found.size() > 1)
    report_and_exit(&PORT_REFUSED, wanted.given.c_str(),
                    ((by_identity ? "more than one port has that identity: "
                                  : "more than one port is there: ") +
                     names_with_places(found))
                        .c_str());
  if (found.empty()) {
    *refused = port_missing_code();
    return false;
  }
  *device = found[0].name;
  return true;
}
