// Linux and macOS: the process's standard streams and signals.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../base/way_out.h"
#include "process.h"

// Every signal that would end the process goes through the stop, so that
// no ending leaves the record saying "running" or the port marked
// exclusive. SIGALRM is the program's own while the way out closes a port
// (close_at_once), and a stop's before.
static const struct {
  int number;
  const char *name;
} STOP_SIGNALS[] = {{SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"},     {SIGHUP, "SIGHUP"},
                    {SIGQUIT, "SIGQUIT"}, {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
                    {SIGALRM, "SIGALRM"}, {SIGVTALRM, "SIGVTALRM"}, {SIGXCPU, "SIGXCPU"},
                    {SIGXFSZ, "SIGXFSZ"}};

static const char *signal_name(int signal_number) {
  for (const auto &stop : STOP_SIGNALS)
    if (stop.number == signal_number)
      return stop.name;
  return "a signal";
}

// The run ends as stopped, by the same signal, so that the caller still
// sees how it ended.
static void stop_run(int signal_number) {
  // The way out holds off every stop but the timer's, which it uses itself
  // to end a close that would wait: a SIGALRM then is no stop.
  if (leaving_already())
    return;
  leave_stopped(signal_name(signal_number), signal_number);
}

// A parent may start the run with signals blocked (a supervisor's worker
// thread): the stopping signals would then never come, and the timer that
// cuts a closing port's wait short would never fire.
static void unblock_signals() {
  sigset_t wanted;
  sigemptyset(&wanted);
  for (const auto &stop : STOP_SIGNALS)
    sigaddset(&wanted, stop.number);
  sigprocmask(SIG_UNBLOCK, &wanted, nullptr);
}

static void stop_on_signals() {
  struct sigaction action = {};
  action.sa_handler = stop_run;
  // A second stopping signal waits until the first has ended the run.
  sigemptyset(&action.sa_mask);
  for (const auto &stop : STOP_SIGNALS)
    sigaddset(&action.sa_mask, stop.number);
  for (const auto &stop : STOP_SIGNALS) {
    struct sigaction previous;
    // A signal that the caller chose to ignore (nohup) stays ignored.
    if (sigaction(stop.number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    sigaction(stop.number, &action, nullptr);
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
