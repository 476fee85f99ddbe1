// How a DCB maps onto a terminal's settings and modem lines, both ways.
// Always raw binary: no echo, no canonical input, no CR/LF translation, no
// signals, and a read that returns as soon as one byte is there.
#pragma once

#include <windows.h>

#include <tty_settings.h>

// `modem_lines` is the TIOCMGET word, or -1 where the device has none.
void dcb_from_tty(const tty_settings *tty, int modem_lines, DCB *dcb);
void tty_from_dcb(const DCB *dcb, tty_settings *tty);
int modem_lines_from_dcb(const DCB *dcb, int modem_lines);
bool dcb_is_valid(const DCB *dcb);
// Whether the device holds what was asked: the speed within 1 %, and the
// framing. A driver may keep its old speed where it cannot make the new
// one, and still report success. The framing counts only on a real serial
// line: a pseudo-terminal forces 8 data bits and no parity whatever is asked.
bool tty_holds(const tty_settings *asked, const tty_settings *held, bool serial_line);

// Whether a driver makes `dcb` as asked, by what is known of drivers that
// report settings their chip does not make (driver_limits.cpp). `driver` is
// the tty's driver name; an unknown or empty name is taken at its word.
bool driver_makes(const char *driver, const DCB *dcb);
