// The board rather than the port: the finder the opening uses for the port
// as given, the 1200-baud touch that sends a board with a native USB port
// into its boot loader and follows it to the port it comes back as, on the
// same socket, and what the record says of the device opened.
#pragma once

#include "../devices/port_finder.h"
#include "../link/serial_port.h"

// The opening's choices, finding the port as given on each try.
port_choices finding(const port_wanted &wanted, const port_choices &opening);

// Touches the board (touch_port), then waits for it to go and come back,
// for as long as --wait-port says or ten seconds: a USB board at the place
// it was touched at, whatever it then calls itself; any other port by the
// same name. A port that does not go within a second is taken as it is.
// Gives the opening's choices that find the board where it came back.
port_choices touch_board(const port_wanted &wanted, const char *settings,
                         const port_choices &opening);

// Notes for the record what the system says of the device opened, and how
// it was found where that was more than by its name.
void note_board(const std::string &device, const port_wanted &wanted, bool touched);
