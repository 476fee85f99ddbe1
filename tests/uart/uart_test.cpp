// tarvick against a real serial driver: the Linux 8250 driver on QEMU's
// 16550, in one guest booted for the whole suite. The simulated target plays
// the device on the host end of the guest's ttyS1. Ground truth is what the
// guest reads back from the tty and what QEMU saw written to the UART.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "guest.h"
#include "simulated_target.h"

using testbed::simulated_target;
using testbed::target_script;

static const char PORT[] = "/dev/ttyS1";
static const char REFUSED[] = "fail to set /dev/ttyS1 config: 22\n";

static uart::guest *the_guest = nullptr;

class GuestEnvironment : public testing::Environment {
  // Without a guest no case can run: that fails the suite at once.
  void SetUp() override {
    try {
      the_guest = new uart::guest(QEMU_PROGRAM, GUEST_DIR);
    } catch (const std::exception &failure) {
      fprintf(stderr, "the UART guest did not start: %s (see %s/console.log)\n", failure.what(),
              GUEST_DIR);
      exit(1);
    }
    printf("guest booted in %.1f s\n", the_guest->boot_seconds());
  }
  void TearDown() override { delete the_guest; }
};
static testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new GuestEnvironment);

// tarvick as a dialout user (1000, group 20): root would pass TIOCEXCL.
static std::string tarvick(const std::string &arguments) {
  return "guest-probe as-user 1000 20 /bin/tarvick " + std::string(PORT) + " " + arguments;
}

struct served_run {
  uart::guest_run run;
  testbed::target_record target;
};

// Runs `command` in the guest while the target plays `script` on the line.
static served_run serve(const target_script &script, const std::string &command) {
  simulated_target target(script, the_guest->line());
  target.start();
  served_run result;
  result.run = the_guest->run(command);
  result.target = target.finish();
  return result;
}

static target_script expecting_image(uint64_t length) {
  target_script script;
  script.image_length = length;
  return script;
}

static std::string guest_file(const std::string &name) {
  std::ifstream file(std::string(GUEST_DIR) + "/root/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A new port starts cooked, with XON/XOFF on: a string that does not name
// flow control must still leave none, as on Windows.
TEST(Uart, AFreshPortGetsNoFlowControl) {
  ASSERT_EQ(1, the_guest->tty(PORT)["ixon"]) << "the guest's port is not fresh";
  served_run loaded =
      serve(expecting_image(2), tarvick("'baud=38400 parity=N data=8 stop=1' /image.bin"));
  EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
  EXPECT_EQ(0, loaded.run.status);
  auto tty = the_guest->tty(PORT);
  EXPECT_EQ(0, tty["ixon"]);
  EXPECT_EQ(0, tty["ixoff"]);
  EXPECT_EQ(0, tty["icanon"]);
}

struct framing_case {
  const char *settings;
  long speed, data, parenb, parodd, cmspar, cstopb;
  unsigned divisor, line_control;
};

TEST(Uart, FramingReachesTheUart) {
  const framing_case cases[] = {
      {"baud=115200 parity=N data=8 stop=1", 115200, 8, 0, 0, 0, 0, 1, 0x13},
      {"baud=9600 parity=E data=7 stop=1", 9600, 7, 1, 0, 0, 0, 12, 0x1A},
      {"96,O,8,2", 9600, 8, 1, 1, 0, 1, 12, 0x0F},
      {"baud=19200 parity=M data=8 stop=1", 19200, 8, 1, 1, 1, 0, 6, 0x2B},
      {"baud=19200 parity=S data=8 stop=1", 19200, 8, 1, 0, 1, 0, 6, 0x3B},
      {"baud=1200 parity=N data=5 stop=1.5", 1200, 5, 0, 0, 0, 1, 96, 0x14},
      {"baud=57600 parity=N data=8 stop=1", 57600, 8, 0, 0, 0, 0, 2, 0x13},
  };
  for (const framing_case &expected : cases) {
    SCOPED_TRACE(expected.settings);
    served_run loaded =
        serve(expecting_image(2), tarvick("'" + std::string(expected.settings) + "' /image.bin"));
    EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
    EXPECT_EQ("", loaded.run.err);
    EXPECT_EQ(0, loaded.run.status);
    EXPECT_EQ("ok", loaded.target.image);
    auto tty = the_guest->tty(PORT);
    EXPECT_EQ(expected.speed, tty["speed"]);
    EXPECT_EQ(expected.data, tty["data"]);
    EXPECT_EQ(expected.parenb, tty["parenb"]);
    EXPECT_EQ(expected.parodd, tty["parodd"]);
    EXPECT_EQ(expected.cmspar, tty["cmspar"]);
    EXPECT_EQ(expected.cstopb, tty["cstopb"]);
    uart::uart_state uart = the_guest->uart();
    EXPECT_EQ(expected.divisor, uart.divisor);
    EXPECT_EQ(expected.line_control, uart.line_control);
  }
}

struct flow_case {
  const char *settings;
  long ixon, ixoff, crtscts;
};

TEST(Uart, FlowControlReachesTheDriver) {
  const flow_case cases[] = {
      {"baud=115200 xon=on", 1, 1, 0},   {"baud=115200 xon=off octs=on", 0, 0, 1},
      {"baud=115200 octs=off", 0, 0, 0}, {"115200,N,8,1,p", 0, 0, 1},
      {"115200,N,8,1", 0, 0, 0},
  };
  for (const flow_case &expected : cases) {
    SCOPED_TRACE(expected.settings);
    served_run loaded =
        serve(expecting_image(2), tarvick("'" + std::string(expected.settings) + "' /image.bin"));
    EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
    auto tty = the_guest->tty(PORT);
    EXPECT_EQ(expected.ixon, tty["ixon"]);
    EXPECT_EQ(expected.ixoff, tty["ixoff"]);
    EXPECT_EQ(expected.crtscts, tty["crtscts"]);
  }
}

TEST(Uart, AnImageArrivesIntactAtEverySpeed) {
  std::string image = guest_file("image-64k.bin");
  ASSERT_EQ(65536u, image.size());
  for (const char *speed : {"9600", "115200"}) {
    SCOPED_TRACE(speed);
    served_run loaded =
        serve(expecting_image(image.size()),
              tarvick(std::string("'baud=") + speed + " parity=N data=8 stop=1' /image-64k.bin"));
    EXPECT_EQ("program loaded, 65536 bytes\n", loaded.run.out);
    EXPECT_EQ(0, loaded.run.status);
    EXPECT_TRUE(image == loaded.target.image) << "the image arrived changed";
    EXPECT_EQ(std::stoul(speed), the_guest->uart().speed());
  }
}

TEST(Uart, LinesWithANack) {
  target_script script = expecting_image(2);
  script.line_replies = {3, 1, 1};
  served_run loaded =
      serve(script, tarvick("'baud=115200 parity=N data=8 stop=1' /image.bin /lines.txt"));
  EXPECT_EQ("program loaded, 2 bytes\nB##\nprogramming complete, 1 nack received.\n",
            loaded.run.out);
  EXPECT_EQ(0, loaded.run.status);
  EXPECT_EQ((std::vector<std::string>{"one", "one", "two"}), loaded.target.lines);
}

// Speeds the 8250 cannot make from its 115200 base within 1 % (100000 would
// run at 115200, though the driver stores 100000), and stop bits no UART
// frames: refused, with the port and the UART left as they were.
TEST(Uart, SettingsTheDeviceCannotMakeAreRefused) {
  serve(expecting_image(2), tarvick("'baud=57600 parity=N data=8 stop=1' /image.bin"));
  uart::uart_state before = the_guest->uart();
  for (const char *settings : {"baud=230400", "baud=250000", "baud=100000",
                               "baud=9600 data=5 stop=2", "baud=9600 data=8 stop=1.5"}) {
    SCOPED_TRACE(settings);
    served_run refused =
        serve(expecting_image(2), tarvick("'" + std::string(settings) + "' /image.bin"));
    EXPECT_EQ(REFUSED, refused.run.out);
    EXPECT_EQ(2, refused.run.status);
    EXPECT_EQ("", refused.target.received) << "nothing goes on the wire";
    EXPECT_EQ(57600, the_guest->tty(PORT)["speed"]);
    uart::uart_state after = the_guest->uart();
    EXPECT_EQ(before.divisor, after.divisor);
    EXPECT_EQ(before.line_control, after.line_control);
  }
}

// While a run waits in the handshake it holds the port for itself and asks
// for low latency; a stopping signal gives both back, although another
// process (a terminal program, say) keeps the device open.
TEST(Uart, ExclusiveUseAndLowLatencyLastAsLongAsTheRun) {
  std::string holder = the_guest->run("guest-probe hold " + std::string(PORT)).out;
  holder.erase(holder.find_last_not_of('\n') + 1);
  target_script silent = expecting_image(2);
  silent.sync_replies.assign(5, testbed::SILENT);
  served_run stopped =
      serve(silent, tarvick("'baud=115200' /image.bin & run=$!; "
                            "guest-probe wait-low-latency /dev/ttyS1 1 && "
                            "guest-probe tty /dev/ttyS1 && " +
                            tarvick("'baud=115200' /image.bin; ") +
                            "kill -TERM $run; wait $run; echo \"ended $?\"; "
                            "guest-probe tty /dev/ttyS1; guest-probe as-user 1000 20 "
                            "/bin/guest-probe open /dev/ttyS1"));
  std::istringstream lines(stopped.run.out);
  std::string while_held, second, ended, after, reopened;
  std::getline(lines, while_held);
  std::getline(lines, second);
  std::getline(lines, ended);
  std::getline(lines, after);
  std::getline(lines, reopened);
  EXPECT_NE(std::string::npos, while_held.find("low_latency=1 exclusive=1")) << while_held;
  EXPECT_EQ("fail to open /dev/ttyS1 : 16", second) << "a second user is kept out";
  EXPECT_EQ("ended 143", ended) << "the run ends by SIGTERM";
  EXPECT_NE(std::string::npos, after.find("low_latency=0 exclusive=0")) << after;
  EXPECT_EQ("opened", reopened);
  the_guest->run("kill " + holder);

  served_run normal = serve(expecting_image(2), tarvick("'baud=115200' /image.bin"));
  EXPECT_EQ("program loaded, 2 bytes\n", normal.run.out);
  EXPECT_EQ(0, the_guest->tty(PORT)["low_latency"]) << "a normal end clears it too";
}

// On the real drivers: the two UARTs the machine has, not the legacy ports
// that the 8250 driver keeps without one, and the USB adapters by vendor,
// product and name (the gadget's own end, ttyGS0, is no port of this machine).
TEST(Uart, ListNamesThePortsThatAreThere) {
  uart::guest_run listed = the_guest->run("/bin/tarvick --list");
  EXPECT_EQ(0, listed.status);
  EXPECT_EQ("/dev/ttyACM0  0525:a4a7 Gadget Serial v2.4\n"
            "/dev/ttyS0  16550A UART\n/dev/ttyS1  16550A UART\n"
            "/dev/ttyUSB0  0403:6001 QEMU USB SERIAL\n",
            listed.out);
  EXPECT_EQ("", listed.err);
}
