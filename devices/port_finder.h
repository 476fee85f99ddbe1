// Finding the port a run is given: by the name the system gave it, by the
// USB identity of the device behind it, or by its place (usb_location.h).
// The single run opens what it finds; the touch follows a board by it.
#pragma once

#include <string>
#include <vector>

#include "port_list.h"
#include "usb_identity.h"

enum port_form { PORT_BY_NAME, PORT_BY_IDENTITY, PORT_BY_LOCATION };

// The port as given, read.
struct port_wanted {
  port_form form;
  std::string given;
  usb_identity identity; // by identity
  std::string location;  // by location
};

// Reads the port as given: "usb:..." is an identity, "usb@..." a place,
// anything else a name; and so is either where a file or device of that
// very name is there. A badly formed identity or place ends the run,
// naming it.
port_wanted read_port(const char *given);

// What the form of a port found by it is called, for the trace: "its name".
const char *found_by(port_form form);

// The ports at `location`, or behind the hub there.
std::vector<system_port> ports_within(const std::string &location);

// Finds the device for the port now: a name as it stands, else the one
// port of the identity or at the place. False where none is there, with
// `refused` the code of a port not there; more than one ends the run,
// naming them.
bool find_port_now(const port_wanted &wanted, std::string *device, unsigned *refused);
