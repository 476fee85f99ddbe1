// Drivers that report back framing their chip does not make, so that no
// read-back can see it, and what their chips really make (the speeds they
// make are judged by their divisors: divisors.cpp). A row is added only with
// evidence, and names the driver code that shows the limit, so that it can
// be checked again when kernels change.
#include <cstring>

#include "dcb_tty.h"

struct driver_limit {
  const char *driver;
  unsigned data_bits; // a bit for each ByteSize the chip makes
  unsigned stop_bits; // a bit for each StopBits value it makes
  const char *source;
};

static const unsigned SEVEN_OR_EIGHT = 1u << 7 | 1u << 8;
static const unsigned ONE_OR_TWO = 1u << ONESTOPBIT | 1u << TWOSTOPBITS;

static const driver_limit DRIVER_LIMITS[] = {
    {"ftdi_sio", SEVEN_OR_EIGHT, ONE_OR_TWO,
     "drivers/usb/serial/ftdi_sio.c (6.1): ftdi_set_termios sends no data-bits value for CS5 "
     "(the chip keeps 8) and two stop bits for CSTOPB"},
};

bool driver_makes(const char *driver, const DCB *dcb) {
  for (const driver_limit &limit : DRIVER_LIMITS) {
    if (strcmp(limit.driver, driver) != 0)
      continue;
    return (limit.data_bits >> dcb->ByteSize & 1) && (limit.stop_bits >> dcb->StopBits & 1);
  }
  return true;
}
