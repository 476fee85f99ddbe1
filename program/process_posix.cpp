// Linux and macOS: the process's standard streams and signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../base/way_out.h"
#include "process.h"

static const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

static const char *signal_name(int signal_number) {
  switch (signal_number) {
  case SIGINT:
    return "SIGINT";
  case SIGTERM:
    return "SIGTERM";
  case SIGHUP:
    return "SIGHUP";
  default:
    return "SIGQUIT";
  }
}

// The run ends as stopped, by the same signal, so that the caller still
// sees how it ended.
static void stop_run(int signal_number) {
  leave_stopped(signal_name(signal_number), signal_number);
}

// A parent may start the run with signals blocked (a supervisor's worker
// thread): the stopping signals would then never come, and the timer that
// cuts a closing port's wait short would never fire.
static void unblock_signals() {
  sigset_t wanted;
  sigemptyset(&wanted);
  for (int signal_number : STOP_SIGNALS)
    sigaddset(&wanted, signal_number);
  sigaddset(&wanted, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
}

static void stop_on_signals() {
  struct sigaction action = {};
  action.sa_handler = stop_run;
  // A second stopping signal waits until the first has ended the run.
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
// line. A closed one is held by a socket connected to nothing, so that
// reading or writing it still fails as with a closed one, and so does
// opening it by name: /dev/stdin is then no file of lines. A reader of standard output
// that goes away (tarvick ... | head) must not end a load half way, as it
// does not on Windows: the writes then fail quietly. And drawing must never
// stop a run started in the background of a terminal with "stty tostop":
// the status line is drawn only in the foreground anyway.
void prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    if (fcntl(fd, F_GETFD) < 0 && socket(AF_UNIX, SOCK_STREAM, 0) != fd)
      break;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  stop_on_signals();
  unblock_signals();
}
