// The board rather than the port: a port given by the USB identity of the
// device behind it, and the 1200-baud touch that sends a board with a
// native USB port into its boot loader, after which its port comes back,
// often under another name.
#pragma once

#include "../link/serial_port.h"

// Takes the port as given: a USB identity is read (a badly formed one ends
// the run, naming it), unless a file or device of that name is there,
// which is taken as it stands. Gives whether the port is found through
// device_for_port rather than opened by its name.
bool take_port(const char *port);

// The device to open for the port as given (port_choices.find_device): the
// one port of that identity, or the port that a touched board came back
// as. Null with `refused` set where none is there (yet); more than one
// ends the run, naming them.
const char *device_for_port(const char *port, unsigned *refused);

// Opens the port at 1200 baud, drops DTR and closes it, then waits for the
// board to go and to come back, for as long as --wait-port says or a few
// seconds: the run then opens the port it came back as. A board whose port
// does not go within a second is taken as it is.
void touch_board(const char *port, port_choices *opening);
