// A terminal's settings with its speed as a plain number of bits per second.
// The flag words hold the <termios.h> bits; how speed and settings reach the
// device differs by system (termios2 on Linux, IOSSIOSPEED on macOS). What
// the layer builds its ports on, published beside the Win32 interface so
// that a test can read a port back from its far end; the program itself
// uses only the Win32 interface.
#pragma once

#include <cstdint>
#include <string>

const int TTY_CONTROL_CHARS = 32;

struct tty_settings {
  uint32_t iflag;
  uint32_t oflag;
  uint32_t cflag;
  uint32_t lflag;
  uint8_t cc[TTY_CONTROL_CHARS];
  uint32_t speed;
};

// Both return false with errno set when the device refuses. Settings take
// effect at once; nothing waiting in the input or output is discarded.
bool get_tty_settings(int fd, tty_settings *settings);
bool set_tty_settings(int fd, const tty_settings *settings);

// The rate the device really makes for a stored `speed`, where its driver
// stores the rate asked rather than the one its divisor gives: a 16550-type
// UART that reports its clock, an FTDI chip (divisors.cpp); `speed` elsewhere.
uint32_t speed_made(int fd, uint32_t speed);

// The name of the kernel driver behind the tty ("ftdi_sio"), or "" where the
// system does not tell.
std::string tty_driver_name(int fd);

// The device number of the process's controlling terminal, where the
// system tells it, else 0.
uint64_t controlling_terminal();

// Exclusive use (TIOCEXCL): whether the device is already marked, where the
// system can tell (false elsewhere).
bool tty_is_exclusive(int fd);

// Asks the driver to pass on received bytes at once (ASYNC_LOW_LATENCY)
// where it offers that, keeping its earlier flags in `saved_flags`; false
// where it does not (a pseudo-terminal, or a system without the call).
bool set_low_latency(int fd, int *saved_flags);
void restore_serial_flags(int fd, int saved_flags);
