// The port's time-outs and configuration: Get/SetCommTimeouts and
// Get/SetCommConfig over the terminal's settings and modem lines.
#include <sys/ioctl.h>

#include <termios.h>

#include "dcb_tty.h"
#include "handle.h"
#include "held_ports.h"

static const WORD COMMCONFIG_VERSION = 1;

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  *lpCommTimeouts = port->timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  port->timeouts = *lpCommTimeouts;
  return TRUE;
}

// The modem lines, or -1 where the device has none (a pseudo-terminal).
static int modem_lines_of(int fd) {
  int lines = 0;
  return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -1;
}

BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  posix_handle *port = port_of(hCommDev);
  if (port == nullptr)
    return FALSE;
  if (lpdwSize == nullptr || lpCC == nullptr)
    return fail_with(EINVAL);
  if (*lpdwSize < sizeof(COMMCONFIG)) {
    *lpdwSize = sizeof(COMMCONFIG);
    return fail_with(ERROR_INSUFFICIENT_BUFFER);
  }
  tty_settings tty;
  if (!get_tty_settings(port->fd, &tty))
    return fail_with(errno);
  *lpCC = COMMCONFIG{};
  lpCC->dwSize = sizeof(COMMCONFIG);
  lpCC->wVersion = COMMCONFIG_VERSION;
  dcb_from_tty(&tty, modem_lines_of(port->fd), &lpCC->dcb);
  *lpdwSize = sizeof(COMMCONFIG);
  return TRUE;
}

// Applies `wanted` and reads it back. Where the device refused part of it,
// or quietly kept something else, the earlier settings go back and the call
// fails, as the serial driver of Windows refuses a speed or framing it
// cannot make. A UART that reports its clock is judged by the rate its
// divisor really makes, which its driver may not store.
static BOOL apply_tty_settings(int fd, const tty_settings *before, const tty_settings *wanted,
                               bool serial_line) {
  tty_settings held;
  int error = EINVAL;
  if (set_tty_settings(fd, wanted) && get_tty_settings(fd, &held)) {
    held.speed = speed_made(fd, held.speed);
    if (tty_holds(wanted, &held, serial_line))
      return TRUE;
  } else {
    error = errno;
  }
  set_tty_settings(fd, before);
  return fail_with(error);
}

BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
  posix_handle *port = port_of(hCommDev);
  if (port == nullptr)
    return FALSE;
  if (lpCC == nullptr || dwSize < sizeof(COMMCONFIG) || !dcb_is_valid(&lpCC->dcb) ||
      !driver_makes(tty_driver_name(port->fd).c_str(), &lpCC->dcb))
    return fail_with(EINVAL);
  tty_settings before;
  if (!get_tty_settings(port->fd, &before))
    return fail_with(errno);
  tty_settings wanted = before;
  tty_from_dcb(&lpCC->dcb, &wanted);
  // Only a real serial line has modem lines.
  bool serial_line = modem_lines_of(port->fd) >= 0;
  if (!apply_tty_settings(port->fd, &before, &wanted, serial_line))
    return FALSE;
  // Modem lines change only where the DCB asks for another state than the
  // line has now: a port leaving speed 0 has just raised both.
  int lines = modem_lines_of(port->fd);
  int wanted_lines = lines < 0 ? lines : modem_lines_from_dcb(&lpCC->dcb, lines);
  if (wanted_lines != lines && ioctl(port->fd, TIOCMSET, &wanted_lines) != 0)
    return fail_with(errno);
  return TRUE;
}

// One line at a time, as on Windows; a device without modem lines (a
// pseudo-terminal) fails.
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  int line = dwFunc == SETDTR || dwFunc == CLRDTR   ? TIOCM_DTR
             : dwFunc == SETRTS || dwFunc == CLRRTS ? TIOCM_RTS
                                                    : 0;
  if (line == 0)
    return fail_with(EINVAL);
  bool set = dwFunc == SETDTR || dwFunc == SETRTS;
  return ioctl(port->fd, set ? TIOCMBIS : TIOCMBIC, &line) == 0 ? TRUE : fail_with(errno);
}

// The lines the far end drives; a device without modem lines fails.
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  int lines = modem_lines_of(port->fd);
  if (lines < 0)
    return fail_with(errno);
  *lpModemStat = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
                 ((lines & TIOCM_RI) ? MS_RING_ON : 0) | ((lines & TIOCM_CD) ? MS_RLSD_ON : 0);
  return TRUE;
}

// Keeps the modem lines as they are when the port closes (no HUPCL).
bool keep_modem_lines(HANDLE handle) {
  posix_handle *port = port_of(handle);
  tty_settings settings;
  if (port == nullptr || !get_tty_settings(port->fd, &settings))
    return false;
  settings.cflag &= ~(uint32_t)HUPCL;
  return set_tty_settings(port->fd, &settings);
}
