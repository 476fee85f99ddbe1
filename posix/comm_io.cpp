// Reads and writes on a serial device under the port's COMMTIMEOUTS.
//
// Every wait is a poll, so a time-out is measured on the monotonic clock and
// survives signals. A device that polls readable but yields no byte has hung
// up (a closed far end, an unplugged adapter): that is EIO, never a time-out.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "handle.h"

static const int64_t NO_DEADLINE = -1;

static int64_t now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static int64_t deadline_after(uint64_t ms) {
  return ms == 0 ? NO_DEADLINE : now_ms() + (int64_t)ms;
}

static int64_t earlier(int64_t a, int64_t b) {
  if (a == NO_DEADLINE)
    return b;
  if (b == NO_DEADLINE)
    return a;
  return a < b ? a : b;
}

// Waits for `events` until `deadline`: 1 ready, 0 deadline passed, -1 error.
// A deadline already passed still takes what is ready now.
static int wait_for(int fd, short events, int64_t deadline) {
  for (;;) {
    int64_t left = deadline == NO_DEADLINE ? -1 : deadline - now_ms();
    if (deadline != NO_DEADLINE && left < 0)
      left = 0;
    pollfd request = {fd, events, 0};
    int ready = poll(&request, 1, left > INT_MAX ? INT_MAX : (int)left);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready != 0 || left == 0)
      return ready > 0 ? 1 : ready;
  }
}

static bool returns_at_once(const COMMTIMEOUTS &timeouts) {
  return timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0 &&
         timeouts.ReadTotalTimeoutConstant == 0;
}

BOOL read_port(posix_handle *port, BYTE *buffer, DWORD count, DWORD *delivered) {
  const COMMTIMEOUTS &timeouts = port->timeouts;
  bool at_once = returns_at_once(timeouts);
  uint64_t total =
      (uint64_t)timeouts.ReadTotalTimeoutMultiplier * count + timeouts.ReadTotalTimeoutConstant;
  int64_t total_deadline = at_once ? now_ms() : deadline_after(total);
  bool has_interval = timeouts.ReadIntervalTimeout != 0 && !at_once;
  int64_t deadline = total_deadline;
  while (*delivered < count) {
    // Without any time-out the read itself waits (the port delivers at least
    // one byte a read); otherwise poll measures the time.
    int ready = deadline == NO_DEADLINE ? 1 : wait_for(port->fd, POLLIN, deadline);
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
    // The interval time-out runs from each byte, never before the first.
    if (has_interval)
      deadline = earlier(total_deadline, deadline_after(timeouts.ReadIntervalTimeout));
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
      int ready = wait_for(port->fd, POLLOUT, deadline);
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

BOOL write_port(posix_handle *port, const BYTE *buffer, DWORD count, DWORD *written) {
  const COMMTIMEOUTS &timeouts = port->timeouts;
  uint64_t total =
      (uint64_t)timeouts.WriteTotalTimeoutMultiplier * count + timeouts.WriteTotalTimeoutConstant;
  int64_t deadline = deadline_after(total);
  // Only a timed write needs a descriptor that never blocks.
  if (deadline != NO_DEADLINE && !set_blocking(port->fd, false))
    return fail_with(errno);
  BOOL ok = put_bytes(port, buffer, count, written, deadline);
  if (deadline != NO_DEADLINE)
    set_blocking(port->fd, true);
  if (!ok)
    return FALSE;
  // A synchronous write on Windows returns once the bytes have left.
  while (tcdrain(port->fd) != 0)
    if (errno != EINTR)
      return fail_with(errno);
  return TRUE;
}
