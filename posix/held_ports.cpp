// Exclusive use of a port, as Windows grants it for a handle's life: a
// handle opened with share mode 0 marks the device (TIOCEXCL, which belongs
// to the device and outlives the descriptor while another process has it
// open), and what the run changed on the driver (its low-latency flag) is
// given back when the handle is closed, or when the program's way out
// releases every held port, however the run ends. Only what this run
// changed is undone. Released so, the port closes at once and what is
// still queued for the line is dropped, as Windows cancels an ending
// process's writes.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include "handle.h"
#include "held_ports.h"
#include <tty_settings.h>

struct held_port {
  int fd;
  bool marked_exclusive;
  bool set_low_latency;
  int serial_flags; // the driver's flags before
};

static const int MAX_HELD = 8;
static held_port held_ports[MAX_HELD];
static volatile sig_atomic_t held_count = 0;

// The table changes with the stopping signals held off, so that a signal
// handler that gives the ports back never sees half an entry. The timer's
// signal comes all the same, also in a stop's handler, which is entered
// with it held: it ends a close that would wait (close_at_once).
static void hold_signals(sigset_t *before) {
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGALRM);
  sigprocmask(SIG_SETMASK, &all, before);
}

static void release_entry(const held_port &port) {
  if (port.marked_exclusive)
    ioctl(port.fd, TIOCNXCL);
  if (port.set_low_latency)
    restore_serial_flags(port.fd, port.serial_flags);
}

static void ignore_tick(int) {}

// The last close of a tty waits for what it still holds, up to the port's
// closing wait (30 s), and a USB device's transfers outlive a flush
// (cdc_acm's stay queued for as long as the device does not read). A
// process that is ending takes no signal that could stop that wait, so a
// timer's signal, which the close does take, cuts it short; the driver
// then drops what it held. A completed load has nothing queued by then: it
// waited for the line to drain. System calls only.
static void close_at_once(int fd) {
  struct sigaction tick = {};
  tick.sa_handler = ignore_tick; // no SA_RESTART: the wait ends
  sigaction(SIGALRM, &tick, nullptr);
  const itimerval EVERY_20_MS = {{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &EVERY_20_MS, nullptr);
  close(fd);
  const itimerval OFF = {};
  setitimer(ITIMER_REAL, &OFF, nullptr);
}

void release_held_ports() {
  sigset_t before;
  hold_signals(&before);
  for (int i = 0; i < held_count; i++) {
    release_entry(held_ports[i]);
    close_at_once(held_ports[i].fd);
  }
  held_count = 0;
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

static held_port *entry_of(int fd) {
  for (int i = 0; i < held_count; i++)
    if (held_ports[i].fd == fd)
      return &held_ports[i];
  return nullptr;
}

void hold_port(int fd) {
  if (held_count == MAX_HELD)
    return;
  sigset_t before;
  hold_signals(&before);
  held_port port = {fd, false, false, 0};
  port.marked_exclusive = !tty_is_exclusive(fd) && ioctl(fd, TIOCEXCL) == 0;
  held_ports[held_count] = port;
  held_count = held_count + 1;
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

void release_port(int fd) {
  sigset_t before;
  hold_signals(&before);
  if (held_port *port = entry_of(fd)) {
    release_entry(*port);
    *port = held_ports[held_count - 1];
    held_count = held_count - 1;
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool request_low_latency(HANDLE handle) {
  posix_handle *port = port_of(handle);
  if (port == nullptr)
    return false;
  sigset_t before;
  hold_signals(&before);
  held_port *held = entry_of(port->fd);
  bool set =
      held != nullptr && !held->set_low_latency && set_low_latency(port->fd, &held->serial_flags);
  if (set)
    held->set_low_latency = true;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return set;
}
