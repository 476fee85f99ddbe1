// What a station watches, and the boards there now: each element of its
// list of ports is read as a single run reads its port, a USB identity
// pattern, a place, or a name. A USB board's slot is its place; a name's
// slot is the name as given.
#pragma once

#include <string>
#include <vector>

#include "../devices/port_finder.h"

// Reads the comma-separated list; an element that is badly formed or
// empty ends the run, naming it.
std::vector<port_wanted> read_slot_patterns(const std::string &list);

struct board_seen {
  std::string slot;     // "usb@PLACE", or a name as given
  std::string device;   // the port the system has for the board now
  std::string identity; // "usb:VID:PID:SERIAL" of a USB port
  bool asked;           // a pattern takes it: a run may be started for it
};

// The boards there now: every USB port in `ports` in the slot of its own
// place (asked where an identity or a place takes it: a board that comes
// back as another device stays in its slot, asked or not), and each name
// that `there` finds.
std::vector<board_seen> boards_now(const std::vector<port_wanted> &patterns,
                                   const std::vector<system_port> &ports,
                                   bool (*there)(const std::string &name));

// Whether any pattern is a USB identity or a place, which the system's
// events tell of; names are looked at now and then.
bool watches_usb(const std::vector<port_wanted> &patterns);
