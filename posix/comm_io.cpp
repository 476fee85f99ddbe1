// Reads and writes on a serial device under the port's COMMTIMEOUTS.
//
// Every wait is a select, so a time-out is measured on the monotonic clock
// and survives signals (select, since macOS does not support poll on
// devices). A device that selects readable but yields no byte has hung up
// (a closed far end, an unplugged adapter): that is EIO, never a time-out.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>

#include "comm_io.h"

static const int64_t NO_DEADLINE = -1;

static int64_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int64_t deadline_after(uint64_t ms) {
  return ms == 0 ? NO_DEADLINE : now_ms() + (int64_t)ms;
}

// Waits until `fd` can be read (or written) or `deadline` has passed: 1
// ready, 0 deadline passed, -1 error. A deadline already passed still takes
// what is ready now.
static int wait_for(int fd, bool writing, int64_t deadline) {
  if (fd >= FD_SETSIZE)
    return fail_with(EBADF), -1;
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left < 0)
      left = 0;
    fd_set ready_set;
    FD_ZERO(&ready_set);
    FD_SET(fd, &ready_set);
    timeval wait = {(time_t)(left / 1000), (suseconds_t)(left % 1000) * 1000};
    int ready = select(fd + 1, writing ? nullptr : &ready_set, writing ? &ready_set : nullptr,
                       nullptr, &wait);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready != 0 || left == 0)
      return ready > 0 ? 1 : ready;
  }
}

// The total time-out only: the program asks for no interval time-out.
BOOL read_port(posix_handle *port, BYTE *buffer, DWORD count, DWORD *delivered) {
  const COMMTIMEOUTS &timeouts = port->timeouts;
  int64_t deadline = deadline_after((uint64_t)timeouts.ReadTotalTimeoutMultiplier * count +
                                    timeouts.ReadTotalTimeoutConstant);
  while (*delivered < count) {
    // Without a time-out the read itself waits (the port delivers at least
    // one byte a read); otherwise select measures the time.
    int ready = deadline == NO_DEADLINE ? 1 : wait_for(port->fd, false, deadline);
    if (ready < 0)
      return fail_with(errno);
    if (ready == 0)
      return TRUE;
    ssize_t got = read(port->fd, buffer + *delivered, count - *delivered);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (got < 0)
      return fail_with(errno);
    if (got == 0)
      return fail_with(EIO);
    *delivered += (DWORD)got;
  }
  return TRUE;
}

static bool set_blocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  flags = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return flags >= 0 && fcntl(fd, F_SETFL, flags) == 0;
}

// Writes until all is written, or until the write time-out (when the port has
// one) has passed; a time-out is success with fewer bytes, as on Windows.
static BOOL put_bytes(posix_handle *port, const BYTE *buffer, DWORD count, DWORD *written,
                      int64_t deadline) {
  while (*written < count) {
    if (deadline != NO_DEADLINE) {
      int ready = wait_for(port->fd, true, deadline);
      if (ready < 0)
        return fail_with(errno);
      if (ready == 0)
        return TRUE;
    }
    ssize_t put = write(port->fd, buffer + *written, count - *written);
    if (put < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (put < 0)
      return fail_with(errno);
    *written += (DWORD)put;
  }
  return TRUE;
}

static int64_t write_deadline(const COMMTIMEOUTS &timeouts, DWORD count) {
  return deadline_after((uint64_t)timeouts.WriteTotalTimeoutMultiplier * count +
                        timeouts.WriteTotalTimeoutConstant);
}

// Returns once the driver holds every byte (or the write time-out has
// passed), as Windows completes a write once the bytes are in the UART's
// FIFO or with the USB device: waiting here for the line to drain would cost
// a jiffy or more per write on a real UART. FlushFileBuffers waits for that.
BOOL write_port(posix_handle *port, const BYTE *buffer, DWORD count, DWORD *written) {
  int64_t deadline = write_deadline(port->timeouts, count);
  // Only a timed write needs a descriptor that never blocks.
  if (deadline != NO_DEADLINE && !set_blocking(port->fd, false))
    return fail_with(errno);
  BOOL ok = put_bytes(port, buffer, count, written, deadline);
  if (deadline != NO_DEADLINE)
    set_blocking(port->fd, true);
  return ok;
}

// Waits until the output has left the port, with no limit, as a flush on
// Windows waits for the writes before it (on cdc_acm that is for as long as
// the device does not read). A hang-up ends it, and a stop signal.
static BOOL drain_port(posix_handle *port) {
  while (tcdrain(port->fd) != 0)
    if (errno != EINTR)
      return fail_with(errno);
  // A USB device that went away reports nothing queued, and tcdrain then
  // returns 0 for bytes that never arrived (cdc_acm); its tty is hung up by
  // then, and every ioctl on it fails.
  int queued = 0;
  if (ioctl(port->fd, TIOCOUTQ, &queued) != 0)
    return fail_with(errno);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
  posix_handle *port = port_of(hFile);
  return port != nullptr ? drain_port(port) : FALSE;
}

// Drops what waits in the input and, or, what is queued for the output;
// nothing is under way to abort beyond that.
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  bool input = dwFlags & PURGE_RXCLEAR, output = dwFlags & PURGE_TXCLEAR;
  if (!input && !output)
    return TRUE;
  int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  return tcflush(port->fd, queue) == 0 ? TRUE : fail_with(errno);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  posix_handle *port = port_of(hFile);
  if (port == nullptr)
    return FALSE;
  // Framing and parity errors are not kept apart here: bytes the line
  // garbled arrive as they came.
  if (lpErrors != nullptr)
    *lpErrors = 0;
  // A device that went away fails here, as it does on Windows.
  if (lpStat != nullptr) {
    int waiting = 0, queued = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0 || ioctl(port->fd, TIOCOUTQ, &queued) != 0)
      return fail_with(errno);
    *lpStat = COMSTAT{};
    lpStat->cbInQue = (DWORD)waiting;
    lpStat->cbOutQue = (DWORD)queued;
  }
  return TRUE;
}
