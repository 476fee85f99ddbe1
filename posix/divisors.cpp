// The divisor arithmetic of the Linux drivers, which program the chip with
// it: drivers/tty/serial/8250/8250_port.c (serial8250_get_divisor) and
// drivers/usb/serial/ftdi_sio.c (ftdi_232am_, ftdi_232bm_ and
// ftdi_2232h_baud_base_to_divisor), Linux 6.1 and 6.6, and FTDI's AN232B-05.
#include "divisors.h"

static const uint32_t LARGEST_UART_DIVISOR = 0xFFFF; // a 16-bit latch
static const uint32_t LARGEST_FTDI_DIVISOR = 0x3FFF; // 14 bits; more overflows the fraction

uint32_t uart_rate(uint32_t baud_base, uint32_t speed) {
  uint32_t divisor = (uint32_t)(((uint64_t)baud_base + speed / 2) / speed);
  if (divisor == 0)
    divisor = 1;
  if (divisor > LARGEST_UART_DIVISOR)
    divisor = LARGEST_UART_DIVISOR;
  return (baud_base + divisor / 2) / divisor; // rounded: 1.76 baud is no 1 baud
}

enum ftdi_family { FTDI_UNKNOWN, FTDI_SIO, FTDI_AM, FTDI_BM, FTDI_H };

// The chips as the driver knows them by their USB release number
// (ftdi_determine_type, Linux 6.6): 0x200 the FT8U232AM; 0x400, 0x500,
// 0x600 and 0x1000 the FT232B, FT2232C, FT232R and FT-X at 3 MHz; 0x700 to
// 0x900 the FT2232H, FT4232H and FT232H, and 0x2800 to 0x3300 and 0x3600 the
// HP and HA chips, at 12 MHz; below 0x200 the first SIO. The driver refuses
// other numbers.
static ftdi_family family_of(unsigned release) {
  switch (release) {
  case 0x200:
    return FTDI_AM;
  case 0x400:
  case 0x500:
  case 0x600:
  case 0x1000:
    return FTDI_BM;
  case 0x700:
  case 0x800:
  case 0x900:
  case 0x2800:
  case 0x2900:
  case 0x3000:
  case 0x3100:
  case 0x3200:
  case 0x3300:
  case 0x3600:
    return FTDI_H;
  default:
    return release < 0x200 ? FTDI_SIO : FTDI_UNKNOWN;
  }
}

// The SIO makes the standard speeds from 300 to 115200 only.
static uint32_t sio_rate(uint32_t speed) {
  for (uint32_t made = 300; made <= 115200; made = made == 38400 ? 57600 : made * 2)
    if (speed == made)
      return speed;
  return 0;
}

// The AM takes fractions of 1/8, 1/4 and 1/2 only, rounding the others.
static uint32_t am_eighths(uint32_t eighths) {
  if ((eighths & 7) == 7)
    eighths++;
  static const uint32_t MADE[8] = {0, 1, 2, 2, 4, 4, 4, 0};
  return (eighths & ~7u) | MADE[eighths & 7];
}

// `clock_eighths` is eight times the divided clock: 24 MHz for the 3 MHz
// chips, 96 MHz for the H family at 12 MHz. Divisors 1 and 1.5 are coded
// specially; no other below 2 exists.
static uint32_t divided(uint64_t clock_eighths, uint32_t speed, bool am) {
  uint32_t eighths = (uint32_t)((clock_eighths + speed / 2) / speed);
  if (am)
    eighths = am_eighths(eighths);
  if (eighths >> 3 > LARGEST_FTDI_DIVISOR || eighths < 8 ||
      (eighths < 16 && eighths != 8 && eighths != 12))
    return 0;
  return (uint32_t)((clock_eighths + eighths / 2) / eighths);
}

uint32_t ftdi_rate(unsigned release, uint32_t speed) {
  const uint64_t THREE_MHZ_EIGHTHS = 24000000, TWELVE_MHZ_EIGHTHS = 96000000;
  switch (family_of(release)) {
  case FTDI_SIO:
    return sio_rate(speed);
  case FTDI_AM:
    return divided(THREE_MHZ_EIGHTHS, speed, true);
  case FTDI_BM:
    return divided(THREE_MHZ_EIGHTHS, speed, false);
  case FTDI_H: // below 1200 baud the H family runs as a 3 MHz chip
    return divided(speed < 1200 ? THREE_MHZ_EIGHTHS : TWELVE_MHZ_EIGHTHS, speed, false);
  default:
    return speed;
  }
}
