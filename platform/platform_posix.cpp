// Linux and macOS: tuning for the port and the image, the terminal, and
// error texts.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "../posix/held_ports.h"
#include "platform.h"
#include "record_files.h"

void prefer_low_latency(HANDLE port) {
  request_low_latency(port);
}

void keep_lines_after_run(HANDLE port) {
  keep_modem_lines(port);
}

bool port_is_missing(unsigned code) {
  return code == ENOENT || code == ENODEV || code == ENXIO;
}

// EBUSY means another program marked the port exclusive (TIOCEXCL), and
// EWOULDBLOCK that another holds its flock.
bool port_is_busy(unsigned code) {
  return code == EBUSY || code == EWOULDBLOCK;
}

unsigned port_missing_code() {
  return ENOENT;
}

bool name_exists(const char *name) {
  struct stat status;
  return stat(name, &status) == 0;
}

bool port_is_forbidden(unsigned code) {
  return code == EACCES || code == EPERM;
}

// The port's flock keeps every other run out.
unsigned claim_port(HANDLE, const char *) {
  return 0;
}

bool cts_flow_drives_rts() {
  return true;
}

// Reading a large file into fresh memory takes a page fault for every 4 KiB,
// and in a virtual machine a fault is dear: 64 MiB cost 0.2 s on one, ten
// times the copy itself. Huge pages, where the system offers them, take 512
// times fewer. Only a hint: the memory and what is read stay the same.
void advise_large_buffer(void *buffer, size_t size) {
#ifdef MADV_HUGEPAGE
  const uintptr_t HUGE_PAGE = 2u << 20;
  if (buffer == nullptr || size < 4 * HUGE_PAGE)
    return;
  uintptr_t start = ((uintptr_t)buffer + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  uintptr_t end = ((uintptr_t)buffer + size) & ~(HUGE_PAGE - 1);
  madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
  (void)buffer;
  (void)size;
#endif
}

bool error_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool output_is_terminal() {
  return isatty(STDOUT_FILENO) == 1;
}

// A terminal that is not this run's controlling terminal has no job
// control to follow: the run owns what it draws there.
bool error_in_foreground() {
  pid_t foreground = tcgetpgrp(STDERR_FILENO);
  return foreground < 0 || foreground == getpgrp();
}

int terminal_width() {
  winsize size = {};
  return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool error_takes_output_now() {
  pollfd writable = {STDERR_FILENO, POLLOUT, 0};
  return poll(&writable, 1, 0) == 1 && (writable.revents & POLLOUT);
}

bool terminal_moves_cursor() {
  return true;
}

// No console of Linux and macOS pauses a program for a click.
void keep_console_still() {}

std::string text_in_utf8(const char *text) {
  return text;
}

// The signals the run handles as stops, the timer's among them, which also
// cuts a closing wait short: a thread of the program's own takes none of
// them.
static void run_signals(sigset_t *set) {
  sigemptyset(set);
  for (int signal_number :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU, SIGXFSZ})
    sigaddset(set, signal_number);
}

bool start_helper(std::thread *thread, void (*body)()) {
  sigset_t held, before;
  run_signals(&held);
  pthread_sigmask(SIG_BLOCK, &held, &before);
  bool started = true;
  try {
    *thread = std::thread(body);
  } catch (const std::system_error &) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return started;
}

void hold_stops() {
  sigset_t held;
  run_signals(&held);
  sigdelset(&held, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void end_stopped(int how) {
  signal(how, SIG_DFL);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, how);
  pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
  raise(how);
  _exit(128 + how); // a signal that does not end a process by itself
}

// Gives back the ports held for exclusive use, with the low latency asked
// of their drivers, and closes them at once.
void put_back_system_state() {
  release_held_ports();
}

unsigned write_error_at_once(const char *text, size_t length) {
  record_place error = {RECORD_STREAM, STDERR_FILENO, "", 0, 0};
  write_to_stream(&error, text, length);
  return error.error;
}

void describe_error(unsigned code, char *text, size_t size) {
  snprintf(text, size, "%s", strerror((int)code));
}
