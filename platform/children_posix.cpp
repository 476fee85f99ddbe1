// Linux and macOS: child runs started by posix_spawn, each in a process
// group of its own, and the station's stops taken by sigwait.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "children.h"
#include "platform.h"

extern char **environ;

static std::string own_program() {
  char path[PATH_MAX] = "";
#ifdef __APPLE__
  uint32_t size = sizeof path;
  if (_NSGetExecutablePath(path, &size) != 0)
    return "";
#else
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0)
    return "";
  path[length] = '\0';
#endif
  return path;
}

static bool left_out(const char *variable, const std::vector<std::string> &unset) {
  for (const std::string &name : unset)
    if (strncmp(variable, name.c_str(), name.size()) == 0 && variable[name.size()] == '=')
      return true;
  return false;
}

// A pipe whose ends no other child inherits (macOS has no pipe2).
static bool cloexec_pipe(int ends[2]) {
  if (pipe(ends) != 0)
    return false;
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
}

// The child's standard output and error go to the write ends, its input
// comes from nothing, and it leads a process group of its own, with none of
// the signals blocked that the station takes on its thread.
static bool spawn(const std::string &program, char *const *argv, char *const *envp, int out,
                  int err, pid_t *pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  int failed = posix_spawn(pid, program.c_str(), &actions, &attributes, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return failed == 0;
}

bool start_child(const std::vector<std::string> &args, const std::vector<std::string> &unset,
                 child_process *child) {
  std::string program = own_program();
  int out[2], err[2];
  if (program.empty() || !cloexec_pipe(out))
    return false;
  if (!cloexec_pipe(err)) {
    close(out[0]);
    close(out[1]);
    return false;
  }
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv, envp;
  for (std::string &word : words)
    argv.push_back(&word[0]);
  argv.push_back(nullptr);
  for (char **variable = environ; *variable != nullptr; variable++)
    if (!left_out(*variable, unset))
      envp.push_back(*variable);
  envp.push_back(nullptr);
  pid_t pid = 0;
  bool started = spawn(program, argv.data(), envp.data(), out[1], err[1], &pid);
  close(out[1]);
  close(err[1]);
  if (!started) {
    close(out[0]);
    close(err[0]);
    return false;
  }
  *child = child_process{pid, (unsigned long)pid, out[0], err[0]};
  return true;
}

long read_from_child(intptr_t pipe, char *buffer, size_t size) {
  ssize_t got;
  while ((got = read((int)pipe, buffer, size)) < 0 && errno == EINTR) {
  }
  if (got <= 0)
    close((int)pipe);
  return got > 0 ? (long)got : 0;
}

void stop_child(const child_process &child, bool interrupt) {
  kill((pid_t)child.process, interrupt ? SIGINT : SIGTERM);
}

int wait_for_child(const child_process &child) {
  int status = 0;
  while (waitpid((pid_t)child.process, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

static void (*stop_asked)(const char *, bool) = nullptr;
static sigset_t stops_taken;

static void take_stops() {
  for (;;) {
    int taken = 0;
    if (sigwait(&stops_taken, &taken) != 0)
      continue;
    const char *by = taken == SIGINT    ? "SIGINT"
                     : taken == SIGTERM ? "SIGTERM"
                     : taken == SIGHUP  ? "SIGHUP"
                     : taken == SIGQUIT ? "SIGQUIT"
                                        : "a signal";
    stop_asked(by, taken == SIGINT);
  }
}

// A signal that the caller chose to ignore (nohup) stays ignored.
void take_stops_on_a_thread(void (*asked)(const char *by, bool interrupt)) {
  stop_asked = asked;
  sigemptyset(&stops_taken);
  for (int signal_number :
       {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGXCPU, SIGXFSZ}) {
    struct sigaction now;
    if (sigaction(signal_number, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
      sigaddset(&stops_taken, signal_number);
  }
  pthread_sigmask(SIG_BLOCK, &stops_taken, nullptr);
  static std::thread taker;
  if (start_helper(&taker, take_stops))
    taker.detach();
}

bool port_may_be_opened(const char *name) {
  return access(name, R_OK | W_OK) == 0;
}

const char *append_line(const char *path, const std::string &line) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0)
    return strerror(errno);
  ssize_t written = write(fd, line.data(), line.size());
  int error = errno;
  close(fd);
  if (written == (ssize_t)line.size())
    return nullptr;
  return written < 0 ? strerror(error) : "only part of it was written";
}

bool make_folder(const char *path) {
  struct stat status;
  return mkdir(path, 0755) == 0 ||
         (errno == EEXIST && stat(path, &status) == 0 && S_ISDIR(status.st_mode));
}

std::string make_temporary_folder() {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tarvick-station-XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

void remove_temporary_folder(const std::string &folder) {
  if (DIR *directory = opendir(folder.c_str())) {
    while (dirent *entry = readdir(directory))
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        unlink((folder + "/" + entry->d_name).c_str());
    closedir(directory);
  }
  rmdir(folder.c_str());
}
