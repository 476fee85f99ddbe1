// A small QEMU guest with real serial drivers: its second UART, a 16550
// under the Linux 8250 driver, and two FTDI adapters on its USB, each wired
// to the host by a socket, and the kernel's CDC-ACM serial gadget within. The
// host drives the guest through its console: each command runs in the
// guest's shell and comes back with what it printed and its exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace uart {

// The serial numbers of the guest's two FTDI adapters, the hub port each is
// plugged into as QEMU names it, and its place in the guest: the xHCI's
// USB 2 root hub is bus 1, with a hub on its fourth port.
#define FIRST_SERIAL "TARVICK-A"
#define SECOND_SERIAL "TARVICK-B"
#define HUB_PORT "4"
#define FIRST_SOCKET "4.1"
#define SECOND_SOCKET "4.2"
#define HUB_PLACE "1-4"
#define FIRST_PLACE "1-4.1"
#define SECOND_PLACE "1-4.2"

struct guest_run {
  std::string out;
  std::string err;
  int status = -1;
};

// DTR and RTS as a device was told to set them, and when (seconds).
struct line_change {
  double at;
  int dtr, rts;
};

// What the emulated devices were programmed with, decoded from QEMU's trace:
// the 16550's register writes, and the FTDI adapter's control requests.
struct uart_state {
  unsigned divisor = 0;
  unsigned line_control = 0; // the LCR without its divisor-latch bit
  unsigned speed() const { return divisor == 0 ? 0 : 115200 / divisor; }
  unsigned ftdi_speed = 0;              // the rate its divisor gives
  std::string ftdi_framing;             // "parity E, data bits 7, stop bits 2"
  std::vector<unsigned> ftdi_latencies; // its latency timer (ms) as set since the last look
  std::vector<line_change> uart_lines;  // its modem control register, since the last look
  std::vector<line_change> ftdi_lines;  // its modem control requests, since the last look
};

class guest {
public:
  // Boots the guest from `directory` (vmlinuz, initrd.gz); its console log
  // and trace are written there too.
  guest(const std::string &qemu, const std::string &directory);
  ~guest();

  int line() const { return line_; }               // the host's end of ttyS1
  int ftdi() const { return ftdi_; }               // the host's end of the FTDI adapter, ttyUSB0
  int second_ftdi() const { return second_ftdi_; } // the host's end of the second, ttyUSB1
  // Sends a QMP command (one JSON object) and gives the answer.
  std::string qmp(const std::string &command);
  guest_run run(const std::string &command);
  // What the guest reads back from a tty, as key=value pairs.
  std::map<std::string, long> tty(const std::string &path);
  // The second UART's registers as the guest's driver left them now.
  uart_state uart();
  double boot_seconds() const { return boot_seconds_; }

private:
  void fill(std::chrono::steady_clock::time_point deadline);
  std::string read_until(const std::string &end);
  std::string read_count(size_t count);

  pid_t qemu_ = -1;
  int console_ = -1;
  int line_ = -1;
  int ftdi_ = -1;
  int second_ftdi_ = -1;
  std::string qmp_path_;
  std::string pending_;
  std::ifstream trace_;
  std::string trace_path_;
  uart_state state_;
  line_change ftdi_now_ = {0, 0, 0}; // the FTDI's lines before the last look
  unsigned marks_ = 0;
  double boot_seconds_ = 0;
};

} // namespace uart
