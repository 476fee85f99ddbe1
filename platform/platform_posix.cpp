// Linux and macOS: the program's policies for the process and the port,
// the terminal, error texts and hints by errno.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "../base/status_line.h"
#include "../posix/process_end.h"
#include "platform.h"

static const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Erases the drawn line and gives the ports back, closed at once with what
// they still queued dropped, as Windows does for a process that ends, then
// ends by the same signal once it is unblocked, so that the caller still
// sees how the run ended.
static void stop_run(int signal_number) {
  erase_status_at_once();
  release_held_ports();
  signal(signal_number, SIG_DFL);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal_number);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
  raise(signal_number);
}

static void stop_on_signals() {
  struct sigaction action = {};
  action.sa_handler = stop_run;
  // A second stopping signal waits until the ports are given back.
  sigemptyset(&action.sa_mask);
  for (int signal_number : STOP_SIGNALS)
    sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : STOP_SIGNALS) {
    struct sigaction previous;
    // A signal that the caller chose to ignore (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    sigaction(signal_number, &action, nullptr);
  }
}

// Descriptors 0, 1 and 2 must be open, or the port would be opened as one
// of them and what is meant for standard output would go down the serial
// line. A closed one is held by /dev/null, read-only, so that writing to it
// still fails as writing to a closed one does. A reader of standard output
// that goes away (tarvick ... | head) must not end a load half way, as it
// does not on Windows: the writes then fail quietly. And drawing must never
// stop a run started in the background of a terminal with "stty tostop":
// the status line is drawn only in the foreground anyway.
void prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
      break;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  stop_on_signals();
}

void prefer_low_latency(HANDLE port) {
  request_low_latency(port);
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

void write_error_at_once(const char *text, size_t length) {
  while (length > 0) {
    ssize_t put = write(STDERR_FILENO, text, length);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return;
    text += put;
    length -= (size_t)put;
  }
}

void describe_error(unsigned code, char *text, size_t size) {
  snprintf(text, size, "%s", strerror((int)code));
}

// Joining a group helps only where the group may read and write the device.
static void explain_access(const char *name, char *text, size_t size) {
  struct stat status;
  if (name == nullptr || stat(name, &status) != 0) {
    snprintf(text, size, "You may not use that device.");
    return;
  }
  const passwd *owner = getpwuid(status.st_uid);
  const group *group_entry = getgrgid(status.st_gid);
  const char *owner_name = owner ? owner->pw_name : "?";
  const char *group_name = group_entry ? group_entry->gr_name : "?";
  unsigned mode = status.st_mode & 0777;
  if ((mode & 060) == 060)
    snprintf(text, size,
             "%s belongs to %s:%s (mode %03o): join the group %s (sudo usermod -aG %s $USER), "
             "then log in again.",
             name, owner_name, group_name, mode, group_name, group_name);
  else
    snprintf(text, size,
             "%s belongs to %s:%s (mode %03o): no group may use it, so joining one cannot help; "
             "run as %s, or have its permissions changed (a udev rule).",
             name, owner_name, group_name, mode, owner_name);
}

static const char NO_SUCH_PORT[] =
    "`tarvick --list` shows the serial ports here; a USB adapter is usually /dev/ttyUSB0 or "
    "/dev/ttyACM0.";
static const char PORT_BUSY[] =
    "Another program has the port open (a terminal program, another tarvick, ModemManager): "
    "close it and try again.";
static const char LINE_GONE[] =
    "The line went away: the adapter was unplugged or the target closed the line. Check the "
    "cable and run again.";
static const char A_FOLDER[] = "That is a folder: name a file.";

const failure_hint PLATFORM_HINTS[] = {
    {&OPEN_PORT_FAILED, ENOENT, NO_SUCH_PORT, nullptr},
    {&OPEN_PORT_FAILED, EBUSY, PORT_BUSY, nullptr},
    {&OPEN_PORT_FAILED, EWOULDBLOCK, PORT_BUSY, nullptr},
    {&OPEN_PORT_FAILED, EACCES, nullptr, explain_access},
    {&OPEN_PORT_FAILED, EISDIR, "That is a folder, not a serial device.", nullptr},
    {&GET_TIMEOUTS_FAILED, ENOTTY,
     "That is not a serial device. `tarvick --list` shows the serial ports here.", nullptr},
    {&WRITE_FAILED, EIO, LINE_GONE, nullptr},
    {&WRITE_FAILED, ENODEV, LINE_GONE, nullptr},
    {&READ_FAILED, EIO, LINE_GONE, nullptr},
    {&READ_FAILED, ENODEV, LINE_GONE, nullptr},
    {&OPEN_FILE_FAILED, ENOENT, NO_SUCH_FILE, nullptr},
    {&OPEN_FILE_FAILED, EISDIR, A_FOLDER, nullptr},
    {&OPEN_FILE_FAILED, EACCES, "You may not read that file.", nullptr},
    {&FILE_INFORMATION_FAILED, ESPIPE,
     "The image is a pipe, a FIFO or a device: save it to a file and load that.", nullptr},
};
const size_t PLATFORM_HINT_COUNT = sizeof PLATFORM_HINTS / sizeof PLATFORM_HINTS[0];
