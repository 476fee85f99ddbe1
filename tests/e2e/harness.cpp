// The end-to-end harness: child processes, terminals that a test reads and
// types into, Wine's COM links, and a test's own folder.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

extern char **environ;

namespace e2e {

static const char *const WINE_ENVIRONMENT[] = {"WINEDEBUG=-all",
                                               "WINEDLLOVERRIDES=mscoree,mshtml="};
static const int HIGHEST_COM = 255;
static const time_t STALE_LINK_SECONDS = 600;

std::string platform_name(const testing::TestParamInfo<platform> &info) {
  return info.param == platform::wine ? "Wine" : "Native";
}

std::vector<platform> tested_platforms() {
  if (TARVICK_WINE_CASES)
    return {platform::native, platform::wine};
  return {platform::native};
}

static std::vector<char *> c_strings(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &text : strings)
    pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

namespace {
// What execve takes, made before fork: the program's arguments, and the
// test's variables ahead of this process's environment.
struct exec_arguments {
  std::vector<std::string> arguments, variables;
  std::vector<char *> argv, envp;

  exec_arguments(const std::string &program, const std::vector<std::string> &args,
                 const std::vector<std::string> &environment)
      : arguments{program}, variables(environment) {
    arguments.insert(arguments.end(), args.begin(), args.end());
    for (char **variable = environ; *variable != nullptr; variable++)
      variables.push_back(*variable);
    argv = c_strings(arguments);
    envp = c_strings(variables);
  }
  exec_arguments(const exec_arguments &) = delete; // argv and envp point into it
};
} // namespace

static void read_available(int fd, std::string *into) {
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    into->append(buffer, (size_t)got);
}

// Wine's console draws through escape sequences: the cursor moved right
// over blanks (ESC [ n C), the line erased to its end (ESC [ K); the rest
// only show or hide the cursor. An escape at `at` gives the place after it,
// its final letter and its count; anything else gives `at` back.
static size_t escape_at(const std::string &drawn, size_t at, char *kind, int *count) {
  if (drawn.compare(at, 2, "\x1b[") != 0)
    return at;
  size_t end = drawn.find_first_of("ABCDHJKhlm", at + 2);
  if (end == std::string::npos)
    return drawn.size();
  *kind = drawn[end];
  *count = std::max(1, atoi(drawn.c_str() + at + 2));
  return end + 1;
}

std::vector<std::string> screen_of(const std::string &drawn, size_t columns) {
  std::vector<std::string> lines(1);
  size_t row = 0, column = 0;
  for (size_t at = 0; at < drawn.size();) {
    char kind = 0;
    int count = 0;
    size_t after = escape_at(drawn, at, &kind, &count);
    if (after != at) {
      if (kind == 'C')
        column += count;
      else if (kind == 'A')
        row -= std::min(row, (size_t)count);
      else if (kind == 'K' && column < lines[row].size())
        lines[row].resize(column);
      else if (kind == 'J')
        lines.resize(row + 1), lines[row].resize(std::min(column, lines[row].size()));
      at = after;
      continue;
    }
    char c = drawn[at++];
    if (c == '\n' || (c != '\r' && columns > 0 && column >= columns)) {
      if (++row == lines.size())
        lines.emplace_back();
      column = 0;
    }
    if (c == '\r') {
      column = 0;
    } else if (c != '\n') {
      std::string &line = lines[row];
      if (line.size() <= column)
        line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  for (std::string &line : lines)
    line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

std::string drawn_text(const std::string &drawn) {
  std::string text;
  for (size_t at = 0; at < drawn.size();) {
    char kind = 0;
    int count = 0;
    size_t after = escape_at(drawn, at, &kind, &count);
    if (after == at)
      text += drawn[at++];
    else if (kind == 'C')
      text.append(count, ' ');
    at = std::max(at, after);
  }
  return text;
}

std::string screen_text(const std::string &drawn) {
  std::string text;
  for (const std::string &line : screen_of(drawn))
    text += line;
  return text;
}

// Everything for exec is made before fork: the child only calls
// async-signal-safe functions, as a threaded parent requires.
program_run run_program(const std::string &program, const std::vector<std::string> &args,
                        const std::string &directory, double timeout_seconds,
                        const std::vector<std::string> &environment, int stop_signal,
                        const error_terminal *terminal) {
  bool error_on_terminal = terminal != nullptr;
  exec_arguments exec(program, args, environment);
  int out[2], err[2];
  if (error_on_terminal) {
    err[0] = testbed::open_pseudo_terminal(&err[1], true);
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = (unsigned short)terminal->columns;
    ioctl(err[1], TIOCSWINSZ, &size);
    termios modes;
    tcgetattr(err[1], &modes);
    modes.c_lflag |= TOSTOP;
    if (terminal->flow_control)
      modes.c_iflag |= IXON;
    tcsetattr(err[1], TCSANOW, &modes);
  }
  if (pipe2(out, O_CLOEXEC) != 0 || (!error_on_terminal && pipe2(err, O_CLOEXEC) != 0))
    throw std::runtime_error("pipe2");
  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(error_on_terminal && terminal->output_too ? err[1] : out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    signal(SIGPIPE, SIG_DFL); // as a shell starts a program
    if (error_on_terminal && terminal->controlling) {
      setsid();
      ioctl(STDERR_FILENO, TIOCSCTTY, 0);
    }
    if (chdir(directory.c_str()) == 0)
      execve(program.c_str(), exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  int exited = (int)syscall(SYS_pidfd_open, pid, 0);
  if (exited < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error("pidfd_open");
  }
  std::thread person;
  if (error_on_terminal && terminal->person)
    person = std::thread(terminal->person, err[0]);
  program_run result;
  auto deadline = started + std::chrono::duration<double>(timeout_seconds);
  // A pipe the program closed (its output sent elsewhere) stays readable at
  // end of file: it leaves the wait, so that the wait still ends in time.
  pollfd events[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {exited, POLLIN, 0}};
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    poll(events, 3, (int)std::max<long long>(0, left.count()));
    read_available(out[0], &result.out);
    read_available(err[0], &result.err);
    for (pollfd &event : events)
      if (event.revents & POLLHUP && event.fd != exited)
        event.fd = -1;
    if (events[2].revents & POLLIN)
      break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, stop_signal);
      // A program that takes the signal still has to end.
      if (poll(&events[2], 1, 5000) == 0)
        kill(pid, SIGKILL);
      break;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (person.joinable())
    person.join();
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  read_available(out[0], &result.out);
  read_available(err[0], &result.err);
  close(out[0]);
  close(err[0]);
  close(exited);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

background_run::background_run(const std::string &program, const std::vector<std::string> &args,
                               const std::string &directory,
                               const std::vector<std::string> &environment) {
  exec_arguments exec(program, args, environment);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2");
  started_ = std::chrono::steady_clock::now();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    if (chdir(directory.c_str()) == 0)
      execve(program.c_str(), exec.argv.data(), exec.envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pipe2(ended_, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2");
  reader_ = std::thread(&background_run::read_until_closed, this, out[0], err[0]);
}

background_run::~background_run() {
  if (pid_ > 0)
    finish(0);
}

// Reads one piece from a pipe; false at its end, or where a pipe that
// would wait has nothing.
bool background_run::take(int fd, bool output) {
  char buffer[4096];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got <= 0)
    return false;
  std::lock_guard<std::mutex> lock(lock_);
  (output ? run_.out : run_.err).append(buffer, (size_t)got);
  came_.notify_all();
  return true;
}

// Reads until the program has ended, and then what it left in the pipes
// without waiting for them to close: a Wine server it started may hold them
// open long after.
void background_run::read_until_closed(int out, int err) {
  pollfd events[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {ended_[0], POLLIN, 0}};
  while (events[2].revents == 0 && (events[0].fd >= 0 || events[1].fd >= 0)) {
    poll(events, 3, -1);
    for (int i = 0; i < 2; i++)
      if (events[i].fd >= 0 && events[i].revents != 0 && !take(events[i].fd, i == 0)) {
        close(events[i].fd);
        events[i].fd = -1;
      }
  }
  for (int i = 0; i < 2; i++) {
    if (events[i].fd < 0)
      continue;
    fcntl(events[i].fd, F_SETFL, O_NONBLOCK);
    while (take(events[i].fd, i == 0)) {
    }
    close(events[i].fd);
  }
}

static int times_in(const std::string &text, const std::string &wanted) {
  int times = 0;
  for (size_t at = 0; (at = text.find(wanted, at)) != std::string::npos; at += wanted.size())
    times++;
  return times;
}

bool background_run::wait_for(const std::string &text, int times, double seconds, bool in_output) {
  std::unique_lock<std::mutex> lock(lock_);
  return came_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return times_in(in_output ? run_.out : run_.err, text) >= times; });
}

void background_run::signal(int signal_number) {
  kill(pid_, signal_number);
}

program_run background_run::finish(double seconds) {
  int exited = (int)syscall(SYS_pidfd_open, pid_, 0);
  pollfd ended = {exited, POLLIN, 0};
  if (exited < 0 || poll(&ended, 1, (int)(seconds * 1000)) != 1) {
    run_.timed_out = true;
    kill(pid_, SIGKILL);
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  if (exited >= 0)
    close(exited);
  pid_ = -1;
  (void)!write(ended_[1], "", 1);
  reader_.join();
  close(ended_[0]);
  close(ended_[1]);
  run_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return run_;
}

static std::vector<std::string> wine_environment() {
  std::vector<std::string> environment(std::begin(WINE_ENVIRONMENT), std::end(WINE_ENVIRONMENT));
  environment.push_back(std::string("WINEPREFIX=") + WINE_PREFIX);
  return environment;
}

// Makes the Wine prefix once for all test processes, and keeps a Wine server
// running between them so that each run starts quickly.
static bool prepare_wine() {
  static int ready = -1;
  if (ready >= 0)
    return ready == 1;
  ready = 0;
  if (std::string(WINE_PROGRAM).empty() || !std::filesystem::exists(TARVICK_EXE))
    return false;
  std::filesystem::create_directories(WINE_PREFIX);
  int lock = open((std::string(WINE_PREFIX) + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  flock(lock, LOCK_EX);
  std::vector<std::string> environment = wine_environment();
  if (!std::filesystem::exists(std::string(WINE_PREFIX) + "/system.reg")) {
    run_program(WINE_PROGRAM, {"wineboot", "-i"}, "/", 300, environment);
    run_program(WINESERVER_PROGRAM, {"-w"}, "/", 60, environment);
  }
  std::string start_server = std::string(WINESERVER_PROGRAM) + " -p30 </dev/null >/dev/null 2>&1";
  run_program("/bin/sh", {"-c", start_server}, "/", 60, environment);
  close(lock);
  ready = std::filesystem::exists(std::string(WINE_PREFIX) + "/system.reg") ? 1 : 0;
  return ready == 1;
}

wine_port::wine_port(const std::string &device, int lowest_number) {
  std::string devices = std::string(WINE_PREFIX) + "/dosdevices/com";
  for (int number = lowest_number; number <= HIGHEST_COM; number++) {
    std::string link = devices + std::to_string(number);
    // A link to a device long gone was left by a test that died; a recent one
    // may belong to a test that is still running, and only its owner removes it.
    struct stat status;
    if (lstat(link.c_str(), &status) == 0 && time(nullptr) - status.st_mtime > STALE_LINK_SECONDS &&
        stat(link.c_str(), &status) != 0)
      unlink(link.c_str());
    if (symlink(device.c_str(), link.c_str()) != 0)
      continue;
    link_ = link;
    name_ = (number < 10 ? "COM" : "\\\\.\\COM") + std::to_string(number);
    return;
  }
  throw std::runtime_error("no free COM port number in the Wine prefix");
}

wine_port::~wine_port() {
  unlink(link_.c_str());
}

void LoadTest::SetUp() {
  if (on_wine() && !prepare_wine()) {
    if (TARVICK_REQUIRE_WINE)
      FAIL() << "tarvick.exe or Wine is missing, and the Windows program must be tested here";
    GTEST_SKIP() << "tarvick.exe or Wine is missing";
  }
  char pattern[] = "/tmp/tarvick-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  directory_ = pattern;
}

void LoadTest::TearDown() {
  ports_.clear();
  if (!directory_.empty())
    std::filesystem::remove_all(directory_);
}

std::string LoadTest::write_file(const std::string &name, const std::string &content) {
  std::ofstream file(path_of(name), std::ios::binary);
  file.write(content.data(), (std::streamsize)content.size());
  return name;
}

std::string LoadTest::read_file(const std::string &name) const {
  std::ifstream file(path_of(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

nlohmann::json LoadTest::report(const std::string &name) const {
  return nlohmann::json::parse(read_file(name), nullptr, false);
}

std::string LoadTest::port_name(const testbed::simulated_target &target, int lowest_com) {
  if (!on_wine())
    return target.port_path();
  ports_.push_back(std::make_unique<wine_port>(target.port_path(), lowest_com));
  return ports_.back()->name();
}

program_run LoadTest::run(const std::vector<std::string> &args, double timeout_seconds,
                          int stop_signal) {
  if (!on_wine())
    return run_program(TARVICK_PROGRAM, args, directory_, timeout_seconds, environment_,
                       stop_signal, error_on_terminal_ ? &terminal_ : nullptr);
  std::vector<std::string> wine_args = {TARVICK_EXE}, environment = wine_environment();
  wine_args.insert(wine_args.end(), args.begin(), args.end());
  environment.insert(environment.end(), environment_.begin(), environment_.end());
  return run_program(WINE_PROGRAM, wine_args, directory_, timeout_seconds, environment, stop_signal,
                     error_on_terminal_ ? &terminal_ : nullptr);
}

std::unique_ptr<background_run> LoadTest::start(const std::vector<std::string> &args) {
  if (!on_wine())
    return std::make_unique<background_run>(TARVICK_PROGRAM, args, directory_, environment_);
  std::vector<std::string> wine_args = {TARVICK_EXE}, environment = wine_environment();
  wine_args.insert(wine_args.end(), args.begin(), args.end());
  environment.insert(environment.end(), environment_.begin(), environment_.end());
  return std::make_unique<background_run>(WINE_PROGRAM, wine_args, directory_, environment);
}

program_run LoadTest::run_in_shell(const std::string &script, const std::vector<std::string> &args,
                                   double timeout_seconds, int stop_signal) {
  std::vector<std::string> shell_args = {"-c", script, TARVICK_PROGRAM};
  shell_args.insert(shell_args.end(), args.begin(), args.end());
  return run_program("/bin/bash", shell_args, directory_, timeout_seconds, {}, stop_signal,
                     error_on_terminal_ ? &terminal_ : nullptr);
}

program_run LoadTest::run_holding(const std::string &file, const std::vector<std::string> &args) {
  if (!on_wine()) {
    int held = open(path_of(file).c_str(), O_WRONLY | O_CLOEXEC);
    program_run result = run(args);
    close(held);
    return result;
  }
  std::vector<std::string> wine_args = {HOLD_FILE_EXE, file, TARVICK_EXE};
  wine_args.insert(wine_args.end(), args.begin(), args.end());
  return run_program(WINE_PROGRAM, wine_args, directory_, 60, wine_environment());
}

load_result LoadTest::load(const testbed::target_script &script,
                           const std::vector<std::string> &files, const std::string &settings,
                           double timeout_seconds) {
  testbed::simulated_target target(script);
  target.start();
  load_result result;
  result.port = port_name(target);
  std::vector<std::string> args = options_;
  args.push_back(result.port);
  args.push_back(settings);
  args.insert(args.end(), files.begin(), files.end());
  result.run = run(args, timeout_seconds);
  get_tty_settings(target.master_fd(), &result.settings);
  result.target = target.finish();
  return result;
}

// What a completed run drew on a terminal is gone again: the screen shows
// what a pipe would.
void LoadTest::expect_success(const program_run &run, const std::string &output) const {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(text(output), run.out);
  if (error_on_terminal_) {
    EXPECT_EQ(std::vector<std::string>{""}, screen_of(run.err, terminal_.columns)) << run.err;
  } else {
    EXPECT_EQ("", run.err);
  }
}

// On a terminal a failure is explained; each test checks how.
void LoadTest::expect_failure(const program_run &run, const std::string &output) const {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(text(output), run.out);
  if (!error_on_terminal_) {
    EXPECT_EQ("", run.err);
  }
}

std::string LoadTest::text(const std::string &lines) const {
  if (!on_wine())
    return lines;
  std::string converted;
  for (char c : lines) {
    if (c == '\n')
      converted += '\r';
    converted += c;
  }
  return converted;
}

} // namespace e2e
