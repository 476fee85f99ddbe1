// guest-probe: the small helpers the checks need inside the UART guest.
//   tty PATH                      what the tty holds, read back with TCGETS2
//   mark N                        writes N to the second UART's scratch
//                                 register, which QEMU's trace shows, to
//                                 tell where each check ends
//   as-user UID GID PROGRAM ARGS  runs PROGRAM as that user, with SIGINT and
//                                 SIGQUIT as a terminal's shell starts it
//                                 (a shell's background job ignores them)
//   masked PROGRAM ARGS           runs PROGRAM with SIGALRM and SIGTERM
//                                 blocked, as a supervisor's worker thread
//                                 may start it
//   hold PATH                     keeps PATH open in the background, as a
//                                 terminal program would; prints its pid
//   open PATH                     tries to open PATH: "opened" or "error N"
//   wait-low-latency PATH 0|1     waits (5 s at most) for the driver's
//                                 low-latency flag to be clear or set
//   stop-when FILE TEXT ACTION PROGRAM ARGS
//                                 runs PROGRAM; once FILE holds TEXT and the
//                                 program has had 200 ms to block on it,
//                                 sends it ACTION, a signal number, or runs
//                                 ACTION as a shell command (an unplug);
//                                 prints how it ended and how long after
//   watch PROGRAM ARGS            runs PROGRAM with standard error on a new
//                                 pseudo-terminal, passing its output on;
//                                 then tells on standard error its status,
//                                 the progress frames it drew, the longest
//                                 time without a draw once drawing began,
//                                 and how long it took to end after its
//                                 last output
// <asm/termbits.h> clashes with <termios.h> and <sys/ioctl.h>, hence the
// ioctl declared by hand.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/io.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" int ioctl(int fd, unsigned long request, ...);

static const unsigned short SECOND_UART = 0x2F8;
static const unsigned short SCRATCH_REGISTER = 7;

static int open_device(const char *path) {
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    printf("error %d\n", errno);
    exit(1);
  }
  return fd;
}

static int serial_flags(int fd) {
  struct serial_struct serial;
  return ioctl(fd, TIOCGSERIAL, &serial) == 0 ? serial.flags : -1;
}

static int show_tty(const char *path) {
  int fd = open_device(path);
  struct termios2 tty;
  int exclusive = -1;
  if (ioctl(fd, TCGETS2, &tty) != 0 || ioctl(fd, TIOCGEXCL, &exclusive) != 0)
    return perror("ioctl"), 1;
  int data_bits[] = {5, 6, 7, 8};
  printf("speed=%u data=%d parenb=%d parodd=%d cmspar=%d cstopb=%d crtscts=%d ixon=%d "
         "ixoff=%d icanon=%d low_latency=%d exclusive=%d hupcl=%d\n",
         tty.c_ospeed, data_bits[(tty.c_cflag & CSIZE) >> 4], !!(tty.c_cflag & PARENB),
         !!(tty.c_cflag & PARODD), !!(tty.c_cflag & CMSPAR), !!(tty.c_cflag & CSTOPB),
         !!(tty.c_cflag & CRTSCTS), !!(tty.c_iflag & IXON), !!(tty.c_iflag & IXOFF),
         !!(tty.c_lflag & ICANON), !!(serial_flags(fd) & ASYNC_LOW_LATENCY), exclusive,
         !!(tty.c_cflag & HUPCL));
  return 0;
}

static int mark(int value) {
  if (ioperm(SECOND_UART, 8, 1) != 0)
    return perror("ioperm"), 1;
  outb((unsigned char)value, SECOND_UART + SCRATCH_REGISTER);
  return 0;
}

static int as_user(char **argv) {
  gid_t gid = (gid_t)atoi(argv[1]);
  if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid((uid_t)atoi(argv[0])) != 0)
    return perror("as-user"), 1;
  signal(SIGINT, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  execv(argv[2], argv + 2);
  perror(argv[2]);
  return 127;
}

static int masked(char **program) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGALRM);
  sigaddset(&blocked, SIGTERM);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);
  execv(program[0], program);
  perror(program[0]);
  return 127;
}

static int hold(const char *path) {
  int fd = open_device(path);
  pid_t pid = fork();
  if (pid != 0) {
    printf("%d\n", pid);
    return 0;
  }
  close(STDOUT_FILENO);
  close(STDERR_FILENO);
  for (;;)
    pause();
  (void)fd;
}

static int wait_low_latency(const char *path, bool wanted) {
  int fd = open_device(path);
  for (int tries = 0; tries < 500; tries++) {
    int flags = serial_flags(fd);
    if (flags >= 0 && ((flags & ASYNC_LOW_LATENCY) != 0) == wanted)
      return 0;
    timespec pause_between = {0, 10 * 1000 * 1000};
    nanosleep(&pause_between, nullptr);
  }
  printf("the low-latency flag stayed %s\n", wanted ? "clear" : "set");
  return 1;
}

static long long now_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static bool file_holds(const char *path, const char *text) {
  char buffer[65536] = "";
  int fd = open(path, O_RDONLY);
  ssize_t got = fd < 0 ? 0 : read(fd, buffer, sizeof buffer - 1);
  if (fd >= 0)
    close(fd);
  buffer[got > 0 ? got : 0] = '\0';
  return strstr(buffer, text) != nullptr;
}

static int stop_when(const char *path, const char *text, const char *action, char **program) {
  pid_t child = fork();
  if (child == 0) {
    execv(program[0], program);
    _exit(127);
  }
  const timespec TICK = {0, 10 * 1000 * 1000}, BLOCKED = {0, 200 * 1000 * 1000};
  for (int tries = 0; tries < 1000 && !file_holds(path, text); tries++)
    nanosleep(&TICK, nullptr);
  nanosleep(&BLOCKED, nullptr);
  long long sent = now_ms();
  if (atoi(action) > 0)
    kill(child, atoi(action));
  else if (system(action) != 0)
    printf("the action failed: %s\n", action);
  int status = 0;
  waitpid(child, &status, 0);
  long long took = now_ms() - sent;
  if (WIFSIGNALED(status))
    printf("signal %d after %lld ms\n", WTERMSIG(status), took);
  else
    printf("status %d after %lld ms\n", WEXITSTATUS(status), took);
  return 0;
}

static int watch(char **program) {
  int master = posix_openpt(O_RDWR | O_NOCTTY), out[2];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || pipe(out) != 0)
    return perror("watch"), 1;
  pid_t child = fork();
  if (child == 0) {
    dup2(open(ptsname(master), O_RDWR | O_NOCTTY), STDERR_FILENO);
    dup2(out[1], STDOUT_FILENO);
    return execv(program[0], program), 127;
  }
  close(out[1]);
  long long last_draw = -1, longest = 0, last_output = now_ms();
  int frames = 0;
  pollfd events[2] = {{master, POLLIN, 0}, {out[0], POLLIN, 0}};
  char buffer[4096];
  for (ssize_t got; events[1].fd >= 0 && poll(events, 2, -1) > 0;) {
    if ((events[0].revents & POLLIN) && (got = read(master, buffer, sizeof buffer)) > 0) {
      for (char *at = buffer; (at = (char *)memmem(at, buffer + got - at, "sending", 7)); at++)
        frames++;
      longest = frames > 0 && last_draw >= 0 ? std::max(longest, now_ms() - last_draw) : 0;
      last_draw = frames > 0 ? now_ms() : -1;
    }
    if ((events[1].revents & (POLLIN | POLLHUP)) && (got = read(out[0], buffer, sizeof buffer)) > 0)
      last_output = write(STDOUT_FILENO, buffer, (size_t)got) == got ? now_ms() : -1;
    else if (events[1].revents & (POLLIN | POLLHUP))
      events[1].fd = -1;
  }
  int status = 0;
  waitpid(child, &status, 0);
  fprintf(stderr, "status=%d frames=%d longest_ms=%lld ended_ms=%lld\n",
          WIFEXITED(status) ? WEXITSTATUS(status) : -1, frames, longest, now_ms() - last_output);
  return 0;
}

int main(int argc, char **argv) {
  const char *command = argc > 1 ? argv[1] : "";
  if (strcmp(command, "tty") == 0 && argc == 3)
    return show_tty(argv[2]);
  if (strcmp(command, "mark") == 0 && argc == 3)
    return mark(atoi(argv[2]));
  if (strcmp(command, "as-user") == 0 && argc >= 5)
    return as_user(argv + 2);
  if (strcmp(command, "masked") == 0 && argc >= 3)
    return masked(argv + 2);
  if (strcmp(command, "hold") == 0 && argc == 3)
    return hold(argv[2]);
  if (strcmp(command, "open") == 0 && argc == 3) {
    open_device(argv[2]);
    return puts("opened"), 0;
  }
  if (strcmp(command, "wait-low-latency") == 0 && argc == 4)
    return wait_low_latency(argv[2], atoi(argv[3]) != 0);
  if (strcmp(command, "stop-when") == 0 && argc >= 6)
    return stop_when(argv[2], argv[3], argv[4], argv + 5);
  if (strcmp(command, "watch") == 0 && argc >= 3)
    return watch(argv + 2);
  fprintf(stderr,
          "usage: guest-probe tty|mark|as-user|masked|hold|open|wait-low-latency|stop-when|watch "
          "...\n");
  return 2;
}
