// How a DCB maps onto a terminal's settings and modem lines, both ways, and
// whether a device holds what was asked.
#include "dcb_tty.h"

#include <sys/ioctl.h>
#include <termios.h>

#ifndef CMSPAR
#define CMSPAR 0 // no mark or space parity on this system
#endif

static const WORD XON_LIMIT = 2048;
static const WORD XOFF_LIMIT = 512;

static BYTE byte_size_of(uint32_t cflag) {
  switch (cflag & CSIZE) {
  case CS5:
    return 5;
  case CS6:
    return 6;
  case CS7:
    return 7;
  default:
    return 8;
  }
}

static uint32_t csize_of(BYTE byte_size) {
  switch (byte_size) {
  case 5:
    return CS5;
  case 6:
    return CS6;
  case 7:
    return CS7;
  default:
    return CS8;
  }
}

static BYTE parity_of(uint32_t cflag) {
  if (!(cflag & PARENB))
    return NOPARITY;
  bool odd = cflag & PARODD;
  if (CMSPAR != 0 && (cflag & CMSPAR))
    return odd ? MARKPARITY : SPACEPARITY;
  return odd ? ODDPARITY : EVENPARITY;
}

static uint32_t parity_bits(BYTE parity) {
  switch (parity) {
  case ODDPARITY:
    return PARENB | PARODD;
  case EVENPARITY:
    return PARENB;
  case MARKPARITY:
    return PARENB | PARODD | CMSPAR;
  case SPACEPARITY:
    return PARENB | CMSPAR;
  default:
    return 0;
  }
}

// A UART's "two stop bits" are one and a half with five data bits.
static BYTE stop_bits_of(uint32_t cflag) {
  if (!(cflag & CSTOPB))
    return ONESTOPBIT;
  return (cflag & CSIZE) == CS5 ? ONE5STOPBITS : TWOSTOPBITS;
}

void dcb_from_tty(const tty_settings *tty, int modem_lines, DCB *dcb) {
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = tty->speed;
  dcb->fBinary = TRUE;
  dcb->fParity = (tty->iflag & INPCK) != 0;
  bool cts_flow = (tty->cflag & CRTSCTS) != 0;
  dcb->fOutxCtsFlow = cts_flow;
  bool dtr = modem_lines < 0 || (modem_lines & TIOCM_DTR);
  bool rts = modem_lines < 0 || (modem_lines & TIOCM_RTS);
  dcb->fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb->fRtsControl =
      cts_flow ? RTS_CONTROL_HANDSHAKE : (rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
  dcb->fTXContinueOnXoff = TRUE;
  dcb->fOutX = (tty->iflag & IXON) != 0;
  dcb->fInX = (tty->iflag & IXOFF) != 0;
  // A tty still in canonical mode was never set up as a serial line: its
  // XON/XOFF is the terminal's default, not a choice. Windows' defaults
  // then hold: no flow control.
  if (tty->lflag & ICANON) {
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  dcb->XonLim = XON_LIMIT;
  dcb->XoffLim = XOFF_LIMIT;
  dcb->ByteSize = byte_size_of(tty->cflag);
  dcb->Parity = parity_of(tty->cflag);
  dcb->StopBits = stop_bits_of(tty->cflag);
  dcb->XonChar = (char)tty->cc[VSTART];
  dcb->XoffChar = (char)tty->cc[VSTOP];
}

void tty_from_dcb(const DCB *dcb, tty_settings *tty) {
  tty->iflag &= ~(uint32_t)(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                            IXOFF | IXANY | INPCK | IMAXBEL);
  if (dcb->fParity && dcb->Parity != NOPARITY)
    tty->iflag |= INPCK;
  if (dcb->fOutX)
    tty->iflag |= IXON;
  if (dcb->fInX)
    tty->iflag |= IXOFF;
  tty->oflag &= ~(uint32_t)OPOST;
  tty->lflag &= ~(uint32_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tty->cflag &= ~(uint32_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tty->cflag |= CLOCAL | CREAD | csize_of(dcb->ByteSize) | parity_bits(dcb->Parity);
  // One and a half stop bits exist only with five data bits, where the
  // UART makes them from CSTOPB.
  if (dcb->StopBits != ONESTOPBIT)
    tty->cflag |= CSTOPB;
  // CTS flow alone decides: an RTS handshake without it holds RTS on, so
  // that "octs=off" switches flow control off on a port that had it.
  if (dcb->fOutxCtsFlow)
    tty->cflag |= CRTSCTS;
  tty->cc[VMIN] = 1; // a read returns as soon as there is a byte
  tty->cc[VTIME] = 0;
  tty->cc[VSTART] = (uint8_t)dcb->XonChar;
  tty->cc[VSTOP] = (uint8_t)dcb->XoffChar;
  tty->speed = dcb->BaudRate;
}

int modem_lines_from_dcb(const DCB *dcb, int modem_lines) {
  if (dcb->fDtrControl == DTR_CONTROL_DISABLE)
    modem_lines &= ~TIOCM_DTR;
  else
    modem_lines |= TIOCM_DTR;
  if (dcb->fRtsControl == RTS_CONTROL_DISABLE || dcb->fRtsControl == RTS_CONTROL_TOGGLE)
    modem_lines &= ~TIOCM_RTS;
  else
    modem_lines |= TIOCM_RTS;
  return modem_lines;
}

// As the serial driver of Windows: a UART makes 1.5 stop bits only with
// five data bits, and 2 stop bits only with six or more.
static bool stop_bits_valid(const DCB *dcb) {
  if (dcb->StopBits == ONE5STOPBITS)
    return dcb->ByteSize == 5;
  if (dcb->StopBits == TWOSTOPBITS)
    return dcb->ByteSize != 5;
  return dcb->StopBits == ONESTOPBIT;
}

bool dcb_is_valid(const DCB *dcb) {
  bool parity_ok = dcb->Parity <= SPACEPARITY && (CMSPAR != 0 || dcb->Parity <= EVENPARITY);
  // Speed 0 would hang the line up rather than set a rate.
  return dcb->BaudRate != 0 && dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && parity_ok &&
         stop_bits_valid(dcb);
}

// Windows' serial driver takes a rate its divisor makes within 1 % of what
// was asked, and refuses the rest.
static bool speed_close_enough(uint32_t asked, uint32_t made) {
  uint64_t off = made > asked ? made - asked : asked - made;
  return off * 100 <= asked;
}

bool tty_holds(const tty_settings *asked, const tty_settings *held, bool serial_line) {
  const uint32_t FRAMING = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  if (!speed_close_enough(asked->speed, held->speed))
    return false;
  return !serial_line || (held->cflag & FRAMING) == (asked->cflag & FRAMING);
}
