// The rate a device really makes for a speed, where its driver stores the
// speed asked rather than the one its divisor gives, so that no read-back
// shows it. 0 where the device cannot make the speed at all.
#pragma once

#include <cstdint>

// A 16550-type UART: its clock (baud_base) divided by a 16-bit integer.
uint32_t uart_rate(uint32_t baud_base, uint32_t speed);

// An FTDI chip, by its family as the USB release number (bcdDevice) tells:
// its clock divided by a 14-bit integer with a fraction. An unknown family
// is taken at the driver's word.
uint32_t ftdi_rate(unsigned release, uint32_t speed);
