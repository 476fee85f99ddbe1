// The QEMU guest: booting it, its console's commands, QMP, and QEMU's trace
// decoded.
#include "guest.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace uart {

static const int WAIT_SECONDS = 60; // for the guest to boot, or a command to end
static const unsigned DIVISOR_LATCH = 0x80;
static const unsigned SCRATCH_REGISTER = 7;
static const unsigned MODEM_CONTROL = 4;

static int listening_socket(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  unlink(path.c_str());
  if (fd < 0 || bind(fd, (sockaddr *)&address, sizeof address) != 0 || listen(fd, 1) != 0)
    throw std::runtime_error("cannot listen on " + path);
  return fd;
}

static int accept_within(int listener, int seconds) {
  pollfd event = {listener, POLLIN, 0};
  if (poll(&event, 1, seconds * 1000) != 1)
    throw std::runtime_error("QEMU did not connect");
  int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  return fd;
}

guest::guest(const std::string &qemu, const std::string &directory) {
  auto started = std::chrono::steady_clock::now();
  int console = listening_socket(directory + "/console.sock");
  int line = listening_socket(directory + "/line.sock");
  int ftdi = listening_socket(directory + "/ftdi.sock");
  int second_ftdi = listening_socket(directory + "/ftdi2.sock");
  qmp_path_ = directory + "/qmp.sock";
  unlink(qmp_path_.c_str());
  trace_path_ = directory + "/trace.log";
  unlink(trace_path_.c_str());
  std::vector<std::string> args = {
      qemu, "-accel", "tcg", "-m", "512", "-smp", "2", "-nodefaults", "-no-reboot", "-display",
      "none", "-kernel", directory + "/vmlinuz", "-initrd", directory + "/initrd.gz", "-append",
      "console=ttyS0 quiet loglevel=0 panic=-1", "-chardev",
      "socket,id=console,path=" + directory + "/console.sock,logfile=" + directory + "/console.log",
      "-chardev", "socket,id=line,path=" + directory + "/line.sock", "-serial", "chardev:console",
      "-serial", "chardev:line",
      // Two FTDI FT232s on the USB, behind a hub on the root's fourth port,
      // each with a serial number and a socket of its own, wired to the host
      // like the UART.
      "-device", "qemu-xhci,id=xhci", "-device", "usb-hub,id=hub,bus=xhci.0,port=" HUB_PORT,
      "-chardev", "socket,id=ftdi,path=" + directory + "/ftdi.sock", "-device",
      "usb-serial,id=ftdi0,chardev=ftdi,bus=xhci.0,port=" FIRST_SOCKET ",serial=" FIRST_SERIAL
      ",always-plugged=on",
      "-chardev", "socket,id=ftdi2,path=" + directory + "/ftdi2.sock", "-device",
      "usb-serial,id=ftdi1,chardev=ftdi2,bus=xhci.0,port=" SECOND_SOCKET ",serial=" SECOND_SERIAL
      ",always-plugged=on",
      "-qmp", "unix:" + qmp_path_ + ",server=on,wait=off", "-d",
      "trace:serial_write,trace:usb_serial_*", "-D", trace_path_, "-msg", "timestamp=on"};
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  qemu_ = fork();
  if (qemu_ == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  console_ = accept_within(console, WAIT_SECONDS);
  line_ = accept_within(line, WAIT_SECONDS);
  ftdi_ = accept_within(ftdi, WAIT_SECONDS);
  second_ftdi_ = accept_within(second_ftdi, WAIT_SECONDS);
  read_until("@@READY\n");
  trace_.open(trace_path_);
  boot_seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

guest::~guest() {
  if (console_ >= 0) {
    const char POWER_OFF[] = "poweroff -f\n";
    (void)!write(console_, POWER_OFF, strlen(POWER_OFF));
  }
  for (int tries = 0; tries < 100 && waitpid(qemu_, nullptr, WNOHANG) == 0; tries++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (waitpid(qemu_, nullptr, WNOHANG) == 0) {
    kill(qemu_, SIGKILL);
    waitpid(qemu_, nullptr, 0);
  }
  close(console_);
  close(line_);
  close(ftdi_);
  close(second_ftdi_);
}

// Reads what the console has to give, waiting up to the deadline.
void guest::fill(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd event = {console_, POLLIN, 0};
  char buffer[4096];
  ssize_t got = 0;
  if (left.count() <= 0 || poll(&event, 1, (int)left.count()) != 1 ||
      (got = read(console_, buffer, sizeof buffer)) <= 0)
    throw std::runtime_error("the guest's console went quiet");
  pending_.append(buffer, (size_t)got);
}

// Reads the console until `end` has come; what came before it is returned,
// what came after is kept.
std::string guest::read_until(const std::string &end) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WAIT_SECONDS);
  size_t at;
  while ((at = pending_.find(end)) == std::string::npos)
    fill(deadline);
  std::string before = pending_.substr(0, at);
  pending_.erase(0, at + end.size());
  return before;
}

std::string guest::read_count(size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WAIT_SECONDS);
  while (pending_.size() < count)
    fill(deadline);
  std::string taken = pending_.substr(0, count);
  pending_.erase(0, count);
  return taken;
}

guest_run guest::run(const std::string &command) {
  if (command.find('\n') != std::string::npos)
    throw std::invalid_argument("one command, one line: " + command);
  std::string line = command + "\n";
  if (write(console_, line.data(), line.size()) != (ssize_t)line.size())
    throw std::runtime_error("cannot write to the guest's console");
  guest_run result;
  read_until("@@OUT ");
  result.out = read_count(std::stoul(read_until("\n")));
  read_until("@@ERR ");
  result.err = read_count(std::stoul(read_until("\n")));
  read_until("@@END ");
  result.status = std::stoi(read_until("\n"));
  return result;
}

std::map<std::string, long> guest::tty(const std::string &path) {
  std::map<std::string, long> values;
  std::istringstream words(run("guest-probe tty " + path).out);
  for (std::string word; words >> word;) {
    size_t equals = word.find('=');
    if (equals != std::string::npos)
      values[word.substr(0, equals)] = std::stol(word.substr(equals + 1));
  }
  return values;
}

// Marks the trace through the scratch register, then decodes the register
// writes up to that mark. The single CPU writes the divisor under the port's
// lock, so the console UART's writes never fall in between.
uart_state guest::uart() {
  unsigned mark = ++marks_ % 0x80 + 1;
  run("guest-probe mark " + std::to_string(mark));
  unsigned line_control = state_.line_control;
  state_.ftdi_latencies.clear();
  if (!state_.ftdi_lines.empty())
    ftdi_now_ = state_.ftdi_lines.back();
  state_.uart_lines.clear();
  state_.ftdi_lines.clear();
  for (int waits = 0; waits < 500;) {
    std::string text;
    if (!std::getline(trace_, text)) {
      trace_.clear();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      waits++;
      continue;
    }
    // With timestamps on, each line starts "pid@seconds.microseconds:".
    double at = 0;
    const char *event = text.c_str();
    if (sscanf(event, "%*d@%lf:", &at) == 1)
      event = strchr(event, ':') + 1;
    unsigned address = 0, value = 0;
    char framing[64];
    line_change &ftdi = state_.ftdi_lines.empty() ? ftdi_now_ : state_.ftdi_lines.back();
    if (sscanf(event, "usb_serial_set_baud dev %*s baud rate %u", &value) == 1)
      state_.ftdi_speed = value;
    else if (sscanf(event, "usb_serial_set_data dev %*s %63[^\n]", framing) == 1)
      state_.ftdi_framing = framing;
    else if (sscanf(event, "usb_serial_handle_control dev %*s got control 0x4009, value 0x%x",
                    &value) == 1)
      state_.ftdi_latencies.push_back(value);
    else if (sscanf(event, "usb_serial_handle_control dev %*s got control 0x4001, value 0x%x",
                    &value) == 1) // FTDI's modem control: the lines in its high byte set
      state_.ftdi_lines.push_back({at, value & 0x100 ? (int)(value & 1) : ftdi.dtr,
                                   value & 0x200 ? (int)(value >> 1 & 1) : ftdi.rts});
    if (sscanf(event, "serial_write write addr 0x%x val 0x%x", &address, &value) != 2)
      continue;
    if (address == MODEM_CONTROL)
      state_.uart_lines.push_back({at, (int)(value & 1), (int)(value >> 1 & 1)});
    bool latch = line_control & DIVISOR_LATCH;
    if (address == 3)
      line_control = value;
    else if (address == 0 && latch)
      state_.divisor = (state_.divisor & 0xFF00) | value;
    else if (address == 1 && latch)
      state_.divisor = (state_.divisor & 0x00FF) | value << 8;
    state_.line_control = line_control & ~DIVISOR_LATCH;
    if (address == SCRATCH_REGISTER && value == mark)
      return state_;
  }
  throw std::runtime_error("the trace never showed mark " + std::to_string(mark));
}

} // namespace uart

namespace uart {

// QMP greets, then wants its capabilities negotiated, then takes commands.
std::string guest::qmp(const std::string &command) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, qmp_path_.c_str(), sizeof address.sun_path - 1);
  if (fd < 0 || connect(fd, (sockaddr *)&address, sizeof address) != 0)
    throw std::runtime_error("cannot reach QMP");
  std::string answers;
  // Events (a device deleted) may come between: a reply says "return" or "error".
  auto read_answer = [&](bool reply) {
    char buffer[4096];
    for (;;) {
      pollfd event = {fd, POLLIN, 0};
      if (poll(&event, 1, WAIT_SECONDS * 1000) != 1)
        throw std::runtime_error("QMP went quiet");
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0)
        throw std::runtime_error("QMP closed");
      answers.append(buffer, (size_t)got);
      bool whole = !answers.empty() && answers.back() == '\n';
      if (whole && (!reply || answers.find("\"return\"") != std::string::npos ||
                    answers.find("\"error\"") != std::string::npos))
        return;
    }
  };
  read_answer(false);
  for (const std::string &sent : {std::string("{\"execute\":\"qmp_capabilities\"}"), command}) {
    std::string line = sent + "\n";
    if (write(fd, line.data(), line.size()) != (ssize_t)line.size())
      throw std::runtime_error("cannot write to QMP");
    answers.clear();
    read_answer(true);
  }
  close(fd);
  return answers;
}

} // namespace uart
