// The station's patterns, and the boards they take.
#include "slots.h"

#include "../base/report.h"
#include "../devices/usb_location.h"
#include "../platform/record_files.h"

std::vector<port_wanted> read_slot_patterns(const std::string &list) {
  std::vector<port_wanted> patterns;
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    std::string element = list.substr(start, comma - start);
    if (element.empty())
      report_and_exit(&PORT_REFUSED, list.c_str(), "an element of the list is empty");
    patterns.push_back(read_port(element.c_str()));
    if (comma == std::string::npos)
      return patterns;
    start = comma + 1;
  }
}

static bool takes(const port_wanted &pattern, const system_port &port) {
  if (pattern.form == PORT_BY_IDENTITY)
    return port.usb && identity_matches(pattern.identity, port.identity);
  return pattern.form == PORT_BY_LOCATION &&
         place_is_within(fullest_location(port), pattern.location);
}

static std::string identity_of(const system_port &port) {
  return port.usb ? identity_text(port.identity) : "";
}

std::vector<board_seen> boards_now(const std::vector<port_wanted> &patterns,
                                   const std::vector<system_port> &ports,
                                   bool (*there)(const std::string &name)) {
  std::vector<board_seen> boards;
  for (const system_port &port : ports) {
    if (!port.usb || port.own_location.empty())
      continue;
    bool asked = false;
    for (const port_wanted &pattern : patterns)
      asked = asked || takes(pattern, port);
    boards.push_back({"usb@" + port.own_location, port.name, identity_of(port), asked});
  }
  for (const port_wanted &pattern : patterns) {
    if (pattern.form != PORT_BY_NAME || !there(pattern.given))
      continue;
    board_seen board = {pattern.given, pattern.given, "", true};
    for (const system_port &port : ports)
      if (same_file(port.name.c_str(), pattern.given.c_str()))
        board.identity = identity_of(port);
    boards.push_back(board);
  }
  return boards;
}

bool watches_usb(const std::vector<port_wanted> &patterns) {
  for (const port_wanted &pattern : patterns)
    if (pattern.form != PORT_BY_NAME)
      return true;
  return false;
}
