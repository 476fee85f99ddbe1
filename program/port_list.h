#pragma once

// Prints the serial ports this machine has, one a line: the name to give
// as the port, then a description where the system has one. Opens no port
// and lists only what could be opened. Returns how many it printed.
int list_serial_ports();

// Notes for the run's record what the system says of `port`, as the list
// shows it, and the USB adapter's serial number.
void note_adapter(const char *port);
