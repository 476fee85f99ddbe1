// tarvick against real serial drivers, in one guest booted for the whole
// suite: the Linux 8250 driver on QEMU's 16550 (ttyS1), ftdi_sio on QEMU's
// FT232 (ttyUSB0), and cdc_acm on the kernel's own serial gadget (ttyACM0).
// The simulated target plays the device on the host end of the UART and the
// FTDI, and in the guest on the gadget's far end (ttyGS0). Ground truth is
// what the guest reads back from the tty and what QEMU's trace saw.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

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

static const char FTDI[] = "/dev/ttyUSB0"; // QEMU's FT232 under ftdi_sio
static const char ACM[] = "/dev/ttyACM0";  // the serial gadget under cdc_acm

// tarvick as a dialout user (1000, group 20): root would pass TIOCEXCL.
static std::string tarvick(const std::string &arguments, const char *port = PORT,
                           const std::string &options = "") {
  return "guest-probe as-user 1000 20 /bin/tarvick " + options + " " + std::string(port) + " " +
         arguments;
}

struct served_run {
  uart::guest_run run;
  testbed::target_record target;
};

// Runs `command` in the guest while the target plays `script` on `line`,
// the UART's unless another is given.
static served_run serve(const target_script &script, const std::string &command, int line = -1) {
  simulated_target target(script, line < 0 ? the_guest->line() : line);
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

// What the guest reads back from a tty of the speed and the framing.
struct read_back {
  long speed, data, parenb, parodd, cmspar, cstopb;
};

static void expect_read_back(const char *port, const read_back &expected) {
  auto tty = the_guest->tty(port);
  EXPECT_EQ(expected.speed, tty["speed"]);
  EXPECT_EQ(expected.data, tty["data"]);
  EXPECT_EQ(expected.parenb, tty["parenb"]);
  EXPECT_EQ(expected.parodd, tty["parodd"]);
  EXPECT_EQ(expected.cmspar, tty["cmspar"]);
  EXPECT_EQ(expected.cstopb, tty["cstopb"]);
}

struct framing_case {
  const char *settings;
  read_back tty;
  unsigned divisor, line_control;
};

TEST(Uart, FramingReachesTheUart) {
  const framing_case cases[] = {
      {"baud=115200 parity=N data=8 stop=1", {115200, 8, 0, 0, 0, 0}, 1, 0x13},
      {"baud=9600 parity=E data=7 stop=1", {9600, 7, 1, 0, 0, 0}, 12, 0x1A},
      {"96,O,8,2", {9600, 8, 1, 1, 0, 1}, 12, 0x0F},
      {"baud=19200 parity=M data=8 stop=1", {19200, 8, 1, 1, 1, 0}, 6, 0x2B},
      {"baud=19200 parity=S data=8 stop=1", {19200, 8, 1, 0, 1, 0}, 6, 0x3B},
      {"baud=1200 parity=N data=5 stop=1.5", {1200, 5, 0, 0, 0, 1}, 96, 0x14},
      {"baud=57600 parity=N data=8 stop=1", {57600, 8, 0, 0, 0, 0}, 2, 0x13},
  };
  for (const framing_case &expected : cases) {
    SCOPED_TRACE(expected.settings);
    served_run loaded =
        serve(expecting_image(2), tarvick("'" + std::string(expected.settings) + "' /image.bin"));
    EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
    EXPECT_EQ("", loaded.run.err);
    EXPECT_EQ(0, loaded.run.status);
    EXPECT_EQ("ok", loaded.target.image);
    expect_read_back(PORT, expected.tty);
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
// run at 115200, though the driver stores 100000; 1 would wrap the 16-bit
// divisor), and stop bits no UART frames: refused, with the port and the
// UART left as they were. So is a run that would touch the board first: a
// refused run touches nothing, and the UART never runs at 1200 baud.
TEST(Uart, SettingsTheDeviceCannotMakeAreRefused) {
  serve(expecting_image(2), tarvick("'baud=57600 parity=N data=8 stop=1' /image.bin"));
  uart::uart_state before = the_guest->uart();
  const std::string HANDSHAKE_LINE =
      "/dev/ttyS1: --reset drives RTS, which the settings give to handshake\n";
  struct {
    const char *settings, *options;
    std::string refusal;
  } rows[] = {{"baud=230400", "", REFUSED},
              {"baud=250000", "", REFUSED},
              {"baud=100000", "", REFUSED},
              {"baud=1", "", REFUSED},
              {"baud=9600 data=5 stop=2", "", REFUSED},
              {"baud=9600 data=8 stop=1.5", "", REFUSED},
              {"baud=230400", "--reset=touch", REFUSED},
              {"115200,N,8,1,p", "--reset=touch:rts,10ms,!rts", HANDSHAKE_LINE}};
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.settings) + " " + row.options);
    served_run refused =
        serve(expecting_image(2),
              tarvick("'" + std::string(row.settings) + "' /image.bin", PORT, row.options));
    EXPECT_EQ(row.refusal, refused.run.out);
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
// product and name, with the identity and the place to give for each (the
// gadget's own end, ttyGS0, is no port of this machine).
TEST(Uart, ListNamesThePortsThatAreThere) {
  uart::guest_run listed = the_guest->run("/bin/tarvick --list");
  EXPECT_EQ(0, listed.status);
  EXPECT_EQ("/dev/ttyACM0  0525:a4a7 Gadget Serial v2.4  usb:0525:a4a7  usb@3-1\n"
            "/dev/ttyS0  16550A UART\n/dev/ttyS1  16550A UART\n"
            "/dev/ttyUSB0  0403:6001 QEMU USB SERIAL  usb:0403:6001:" FIRST_SERIAL
            "  usb@" FIRST_PLACE "\n"
            "/dev/ttyUSB1  0403:6001 QEMU USB SERIAL  usb:0403:6001:" SECOND_SERIAL
            "  usb@" SECOND_PLACE "\n",
            listed.out);
  EXPECT_EQ("", listed.err);
}

// The CDC-ACM device's far end, ttyGS0, is in the guest: a target plays it
// there, in the background of `command`, and tells its account at the end.
static uart::guest_run on_gadget(const std::string &target_options, const std::string &command) {
  return the_guest->run("tarvick-target --line /dev/ttyGS0 " + target_options +
                        " >/tmp/target.log 2>&1 & target=$!; "
                        "until grep -q ttyGS0 /tmp/target.log; do sleep 0.05; done; " +
                        command + "; kill -TERM $target; wait $target; cat /tmp/target.log");
}

// Unplugs the serial gadget and plugs it in again, as a board is reset.
// Removing it waits until its far end, ttyGS0, is closed.
static void replug_gadget() {
  the_guest->run("rmmod g_serial 2>/dev/null; "
                 "while grep -q '^g_serial ' /proc/modules; do sleep 0.05; done; insmod "
                 "/modules/g_serial.ko use_acm=1 n_ports=1; "
                 "until [ -e /dev/ttyACM0 ]; do sleep 0.05; done; chgrp 20 /dev/ttyACM0; "
                 "chmod 660 /dev/ttyACM0");
}

// What `guest-probe watch` tells of a run with standard error on a terminal.
struct watched_run {
  int status = -1, frames = 0;
  long long longest_ms = -1, ended_ms = -1;
};

static watched_run watched(const std::string &report) {
  watched_run run;
  sscanf(report.c_str(), "status=%d frames=%d longest_ms=%lld ended_ms=%lld", &run.status,
         &run.frames, &run.longest_ms, &run.ended_ms);
  return run;
}

struct terminal_case {
  const char *port, *speed;
  unsigned image, pace; // bytes, and the target's bytes a second
  const char *lines;
};

// At a terminal, with a target slower than the line, a load draws as the
// driver's queue empties, at least once in 1.5 s, and prints exactly what a
// script sees (a drain bounded by 100 ms once failed it). QEMU's FTDI
// stalls the guest rather than queue: the UART and CDC-ACM show the queue.
TEST(Uart, ALoadAtATerminalDrawsUntilTheQueueHasLeft) {
  const terminal_case cases[] = {
      {PORT, "115200", 8192, 5000, ""},   {PORT, "115200", 8192, 5000, " /lines.txt"},
      {PORT, "9600", 2048, 700, ""},      {PORT, "9600", 2048, 700, " /lines.txt"},
      {ACM, "115200", 131072, 40000, ""}, {ACM, "9600", 2048, 700, " /lines.txt"},
  };
  for (const terminal_case &row : cases) {
    SCOPED_TRACE(std::string(row.port) + " " + row.speed + row.lines);
    std::string size = std::to_string(row.image);
    std::string command =
        "head -c " + size + " /dev/urandom >/tmp/watched.bin; guest-probe watch /bin/" +
        tarvick(std::string("baud=") + row.speed + " /tmp/watched.bin" + row.lines, row.port);
    std::string expected = "program loaded, " + size + " bytes\n" +
                           (*row.lines ? "##\nprogramming complete, 0 nack received.\n" : "");
    target_script slow = expecting_image(row.image);
    slow.bytes_per_second = row.pace;
    uart::guest_run run =
        row.port == PORT
            ? serve(slow, command).run
            : on_gadget("--image-length " + size + " --pace " + std::to_string(row.pace), command);
    EXPECT_EQ(expected, run.out.substr(0, expected.size()));
    watched_run shown = watched(run.err);
    EXPECT_EQ(0, shown.status) << run.err;
    EXPECT_GE(shown.frames, 1) << run.err;
    EXPECT_LE(shown.longest_ms, 1500) << run.err;
    printf("at a terminal, %s at %s%s: %d frames, at most %lld ms apart\n", row.port, row.speed,
           row.lines, shown.frames, shown.longest_ms);
  }
}

// Each level DTR and RTS took in turn ("01": DTR cleared, RTS asserted),
// and when.
static std::string levels_of(const std::vector<uart::line_change> &told,
                             std::vector<double> *times) {
  std::string levels;
  for (const uart::line_change &change : told) {
    std::string level = std::to_string(change.dtr) + std::to_string(change.rts);
    if (levels.size() >= 2 && levels.compare(levels.size() - 2, 2, level) == 0)
      continue;
    levels += (levels.empty() ? "" : " ") + level;
    times->push_back(change.at);
  }
  return levels;
}

// A reset sequence drives DTR and RTS in its order and time, as QEMU saw
// the 8250's modem control register and the FTDI's requests: both lines go
// idle together with the settings, after the kernel raised them at
// opening, two lines set at once change in one write, and the port keeps
// what the exit sequence left where Linux would drop both lines at close.
TEST(Uart, AResetSequenceDrivesTheModemLines) {
  const std::string RESET = "--reset=!dtr+rts,100ms,dtr+!rts,50ms,!dtr:rts,20ms,dtr";
  for (bool ftdi : {false, true}) {
    SCOPED_TRACE(ftdi ? "FTDI" : "8250");
    the_guest->uart(); // what was told before is no part of it
    served_run loaded =
        serve(expecting_image(2), tarvick("baud=115200 /image.bin", ftdi ? FTDI : PORT, RESET),
              ftdi ? the_guest->ftdi() : -1);
    EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
    uart::uart_state told = the_guest->uart();
    std::vector<double> at;
    // The UART's start-up may clear both lines before the kernel raises them.
    EXPECT_THAT(levels_of(ftdi ? told.ftdi_lines : told.uart_lines, &at),
                testing::EndsWith("11 00 01 10 00 01 11"));
    if (at.size() >= 8) {
      const double *end = at.data() + at.size();
      EXPECT_NEAR(0.100 + 0.1, end[-4] - end[-5], 0.1) << "the entry's first wait";
      EXPECT_NEAR(0.050 + 0.1, end[-3] - end[-4], 0.1) << "its second";
      EXPECT_NEAR(0.020 + 0.1, end[-1] - end[-2], 0.1) << "the exit's";
      printf("%s: levels set %.0f, %.0f and %.0f ms apart\n", ftdi ? "FTDI" : "8250",
             (end[-4] - end[-5]) * 1000, (end[-3] - end[-4]) * 1000, (end[-1] - end[-2]) * 1000);
    }
  }
}

// A run refused for its --reset against the settings, or for a typo in
// them, drives no line and leaves HUPCL set: the kernel raises both lines
// at opening and drops both at the close, as for any program, and a board
// held in reset by DTR is let go.
TEST(Uart, ARefusedResetRunTouchesNoLine) {
  for (const char *settings : {"115200,N,8,1,p", "baud=115200 parity=X"}) {
    SCOPED_TRACE(settings);
    the_guest->run("stty -F /dev/ttyS1 hupcl");
    the_guest->uart();
    served_run refused =
        serve(expecting_image(2),
              tarvick(std::string("'") + settings + "' /image.bin", PORT, "--reset=rts,50ms,!rts"));
    EXPECT_EQ(2, refused.run.status);
    EXPECT_EQ("", refused.target.received);
    std::vector<double> at;
    EXPECT_THAT(levels_of(the_guest->uart().uart_lines, &at), testing::MatchesRegex("(00 )?11 00"));
    EXPECT_EQ(1, the_guest->tty(PORT)["hupcl"]);
  }
}

// Under a write time-out a healthy load passes, whether or not a person
// watches, and a line that cannot leave fails the run: a target that reads at the line's speed
// keeps bytes leaving, although a full 8250 takes a write again only once it is nearly empty, and
// cdc_acm counts each busy transfer whole.
TEST(Uart, AWriteTimeOutPassesAHealthyLoad) {
  the_guest->run("head -c 6144 /dev/urandom >/tmp/healthy.bin");
  for (const char *port : {PORT, ACM})
    for (bool at_terminal : {false, true}) {
      SCOPED_TRACE(std::string(port) + (at_terminal ? " at a terminal" : ""));
      std::string command = std::string(at_terminal ? "guest-probe watch /bin/" : "") +
                            tarvick("baud=19200 /tmp/healthy.bin", port, "--write-timeout=1s");
      target_script reading = expecting_image(6144);
      reading.bytes_per_second = 1920;
      uart::guest_run run = port == PORT ? serve(reading, command).run
                                         : on_gadget("--image-length 6144 --pace 1920", command);
      EXPECT_THAT(run.out, testing::StartsWith("program loaded, 6144 bytes\n"));
      EXPECT_EQ(0, at_terminal    ? watched(run.err).status
                   : port == PORT ? run.status
                                  : 0)
          << run.err;
    }
  // A programming line held back by an XOFF that no XON follows: the driver
  // keeps its bytes and the target never answers, so the write time-out, not
  // a wait for ever, ends the run.
  target_script held = expecting_image(2);
  held.after_image = "\x13";
  served_run stuck =
      serve(held, tarvick("'baud=19200 xon=on' /image.bin /lines.txt", PORT, "--write-timeout=1s") +
                      "; echo \"status $?\"");
  EXPECT_EQ("program loaded, 2 bytes\nfail to write to /dev/ttyS1 : 110\nstatus 2\n",
            stuck.run.out);
  EXPECT_EQ((std::vector<std::string>{}), stuck.target.lines);
}

struct usb_settings_case {
  const char *settings;
  read_back tty;
  const char *framing; // what QEMU's FTDI was told
};

// What the FTDI takes reaches the chip; what its driver would fake, or
// cannot make, is refused with the port left as it was. (QEMU's FTDI
// refuses mark and space parity, which a real FT232 takes: not asked here.)
TEST(Usb, FtdiSettingsAreTakenOrRefused) {
  const usb_settings_case taken[] = {
      {"baud=115200 parity=N data=8 stop=1",
       {115200, 8, 0, 0, 0, 0},
       "parity N, data bits 8, stop bits 1"},
      {"baud=9600 parity=E data=7 stop=1",
       {9600, 7, 1, 0, 0, 0},
       "parity E, data bits 7, stop bits 1"},
      {"96,O,8,2", {9600, 8, 1, 1, 0, 1}, "parity O, data bits 8, stop bits 2"},
      {"baud=230400 parity=N data=8 stop=1",
       {230400, 8, 0, 0, 0, 0},
       "parity N, data bits 8, stop bits 1"},
      {"baud=250000 parity=N data=8 stop=1",
       {250000, 8, 0, 0, 0, 0},
       "parity N, data bits 8, stop bits 1"},
      {"baud=184 parity=N data=8 stop=1",
       {184, 8, 0, 0, 0, 0},
       "parity N, data bits 8, stop bits 1"},
      {"baud=3000000 parity=N data=8 stop=1",
       {3000000, 8, 0, 0, 0, 0},
       "parity N, data bits 8, stop bits 1"},
  };
  for (const usb_settings_case &expected : taken) {
    SCOPED_TRACE(expected.settings);
    served_run loaded = serve(expecting_image(2),
                              tarvick("'" + std::string(expected.settings) + "' /image.bin", FTDI),
                              the_guest->ftdi());
    EXPECT_EQ("ok", loaded.target.image);
    EXPECT_EQ("program loaded, 2 bytes\n", loaded.run.out);
    EXPECT_EQ(0, loaded.run.status);
    expect_read_back(FTDI, expected.tty);
    uart::uart_state chip = the_guest->uart();
    EXPECT_NEAR(expected.tty.speed, chip.ftdi_speed, expected.tty.speed / 100.0);
    EXPECT_EQ(expected.framing, chip.ftdi_framing);
  }
  // 183 and below overflow the divisor; 1280000 runs 1.3 % off, 2500000 has no
  // divisor (QEMU would make 2400000), 2900000 runs at 3000000.
  for (const char *settings :
       {"baud=4000000", "baud=9600 data=6", "baud=183", "baud=110", "baud=50",
        "baud=9600 data=5 stop=1.5", "baud=1280000", "baud=2500000", "baud=2900000"}) {
    SCOPED_TRACE(settings);
    served_run refused =
        serve(expecting_image(2), tarvick("'" + std::string(settings) + "' /image.bin", FTDI),
              the_guest->ftdi());
    EXPECT_EQ("", refused.target.received) << "nothing goes on the wire";
    EXPECT_EQ("fail to set /dev/ttyUSB0 config: 22\n", refused.run.out);
    EXPECT_EQ(2, refused.run.status);
    EXPECT_EQ(3000000, the_guest->tty(FTDI)["speed"]) << "the port is left as it was";
    EXPECT_EQ("parity N, data bits 8, stop bits 1", the_guest->uart().ftdi_framing);
  }
}

// On both USB drivers an image arrives whole, and a nack is answered.
TEST(Usb, ImagesAndLinesOnEachDriver) {
  std::string image = guest_file("image-64k.bin");
  for (const char *speed : {"9600", "115200"}) {
    SCOPED_TRACE(speed);
    std::string arguments = std::string("'baud=") + speed + "' /image-64k.bin";
    served_run ftdi =
        serve(expecting_image(image.size()), tarvick(arguments, FTDI), the_guest->ftdi());
    EXPECT_EQ("program loaded, 65536 bytes\n", ftdi.run.out);
    EXPECT_TRUE(image == ftdi.target.image) << "the image arrived changed over the FTDI";
    uart::guest_run acm = on_gadget("--image /image-64k.bin", tarvick(arguments, ACM));
    EXPECT_THAT(acm.out, testing::HasSubstr("program loaded, 65536 bytes\n"));
    EXPECT_THAT(acm.out, testing::HasSubstr("(identical to /image-64k.bin)"));
  }
  target_script nack = expecting_image(2);
  nack.line_replies = {3, 1, 1};
  served_run ftdi =
      serve(nack, tarvick("'baud=115200' /image.bin /lines.txt", FTDI), the_guest->ftdi());
  EXPECT_EQ("program loaded, 2 bytes\nB##\nprogramming complete, 1 nack received.\n", ftdi.run.out);
  EXPECT_EQ((std::vector<std::string>{"one", "one", "two"}), ftdi.target.lines);
  uart::guest_run acm = on_gadget("--image-length 2 --line-replies 3,1,1",
                                  tarvick("'baud=115200' /image.bin /lines.txt", ACM));
  EXPECT_THAT(acm.out,
              testing::HasSubstr("program loaded, 2 bytes\nB##\nprogramming complete, 1 nack"));
  EXPECT_THAT(acm.out, testing::HasSubstr("and 3 programming line(s)"));
}

// ftdi_sio turns the low-latency flag into a 1 ms latency timer for the run,
// and the adapter's own timer (16 ms on a real chip; QEMU's starts at 0, so
// it is set first) comes back however the run ends.
TEST(Usb, FtdiLatencyIsOneMillisecondForTheRunOnly) {
  the_guest->run("echo 16 >/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
  the_guest->uart();
  EXPECT_EQ("program loaded, 2 bytes\n",
            serve(expecting_image(2), tarvick("'baud=115200' /image.bin", FTDI), the_guest->ftdi())
                .run.out);
  EXPECT_EQ((std::vector<unsigned>{1, 16}), the_guest->uart().ftdi_latencies) << "a normal end";
  for (int stop_signal : {SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(stop_signal);
    target_script silent = expecting_image(2);
    silent.sync_replies.assign(5, testbed::SILENT);
    served_run stopped =
        serve(silent,
              tarvick("'baud=115200' /image.bin", FTDI) +
                  " & run=$!; guest-probe wait-low-latency " + FTDI + " 1 && kill -" +
                  std::to_string(stop_signal) + " $run; wait $run; echo \"ended $?\"",
              the_guest->ftdi());
    EXPECT_EQ("ended " + std::to_string(128 + stop_signal) + "\n", stopped.run.out);
    EXPECT_EQ((std::vector<unsigned>{1, 16}), the_guest->uart().ftdi_latencies);
    EXPECT_EQ(0, the_guest->tty(FTDI)["low_latency"]);
  }
}

// A device that stops reading mid-upload: a stopping signal ends the run
// at once, by that signal, however much is still queued (a plain exit
// would wait 30 s at the port's last close), and the user can open the
// port again. (QEMU's FTDI stalls the whole guest when its host side stops
// reading: this runs on CDC-ACM. The gadget's own end stays wedged once its
// stalled reader is gone, so it is plugged in again before the next load.)
TEST(Usb, AStalledDeviceIsStoppedAtOnce) {
  the_guest->run("head -c 2097152 /dev/zero >/tmp/zeros.bin");
  for (int stop_signal : {SIGINT, SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(stop_signal);
    // 2 MiB stall the upload's writes; 64 KiB fit in the driver and stall its drain.
    bool in_drain = stop_signal == SIGQUIT;
    uart::guest_run stopped = on_gadget(
        std::string("--image-length ") + (in_drain ? "65536" : "2097152") +
            " --stop-reading-after 8192",
        "guest-probe stop-when /tmp/target.log 'stopped reading' " + std::to_string(stop_signal) +
            " /bin/guest-probe as-user 1000 20 /bin/tarvick --report=/tmp/stalled.json " + ACM +
            " baud=115200 " + (in_drain ? "/image-64k.bin" : "/tmp/zeros.bin"));
    int signal_number = 0, took_ms = -1;
    size_t at = stopped.out.find("signal ");
    ASSERT_NE(std::string::npos, at) << stopped.out;
    sscanf(stopped.out.c_str() + at, "signal %d after %d ms", &signal_number, &took_ms);
    EXPECT_EQ(stop_signal, signal_number);
    EXPECT_LT(took_ms, 1000) << stopped.out;
    printf("stalled CDC-ACM device, signal %d: the run ended %d ms after it\n", stop_signal,
           took_ms);
    EXPECT_THAT(the_guest->run("cat /tmp/stalled.json").out,
                testing::HasSubstr("\"outcome\":\"stopped\""));
    EXPECT_EQ(
        "opened\n",
        the_guest->run("guest-probe as-user 1000 20 /bin/guest-probe open " + std::string(ACM))
            .out);
    replug_gadget();
    uart::guest_run again = on_gadget("--image-length 2", tarvick("'baud=115200' /image.bin", ACM));
    EXPECT_THAT(again.out, testing::HasSubstr("program loaded, 2 bytes\n"));
  }
  // A run that fails with output queued ends with its message, not at the
  // port's last close 30 s later. A gadget plugged in afresh takes no bytes
  // until its far end is opened: the handshake's requests stay queued.
  // So does one whose parent blocked the timer's signal.
  for (const char *parent : {"/bin/", "/bin/guest-probe masked /bin/"}) {
    SCOPED_TRACE(parent);
    replug_gadget();
    uart::guest_run failed = the_guest->run(std::string("guest-probe watch ") + parent +
                                            tarvick("baud=115200 /image.bin", ACM));
    EXPECT_EQ("synchronization failed\n", failed.out);
    EXPECT_LT(watched(failed.err).ended_ms, 1000) << failed.err;
  }
}

// Unplugs an FTDI adapter, or plugs one in on `chardev` at hub port
// `socket` with a serial number of its own, as QMP does it. The guest hands
// a plugged node to the test user a moment later, as udev would.
static void unplug_adapter(const char *id) {
  the_guest->qmp(std::string("{\"execute\":\"device_del\",\"arguments\":{\"id\":\"") + id + "\"}}");
}

static void plug_adapter(const char *id, const char *chardev, const char *socket,
                         const char *serial) {
  std::string command =
      std::string("{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\","
                  "\"id\":\"") +
      id + "\",\"chardev\":\"" + chardev + "\",\"bus\":\"xhci.0\",\"port\":\"" + socket +
      "\",\"serial\":\"" + serial + "\",\"always-plugged\":true}}";
  // An adapter just unplugged holds its id and its chardev until QEMU has
  // deleted it.
  std::string answer;
  for (int tries = 0; tries < 100 && answer.find("\"return\"") == std::string::npos; tries++) {
    if (tries > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    answer = the_guest->qmp(command);
  }
  EXPECT_THAT(answer, testing::HasSubstr("\"return\"")) << answer;
}

// Waits until `port` is gone, or until it is there and the test user's.
static void wait_until_gone(const char *port) {
  the_guest->run(std::string("while [ -e ") + port + " ]; do sleep 0.02; done");
}

static void wait_until_usable(const char *port) {
  the_guest->run(std::string("until [ \"$(stat -c %g ") + port +
                 " 2>/dev/null)\" = 20 ]; do sleep 0.02; done");
}

struct unplug_case {
  const char *when;
  const char *event;  // what the target says just before the unplug
  const char *gadget; // the in-guest target's options, on CDC-ACM
  const char *files;  // what tarvick loads
  uint64_t image_length;
};

// The gadget's far end takes some 80 KiB into its buffers before its slow
// reader has taken any, which the host sees as sent: an image loaded
// through it whole before the removal comes would be a load completed. The
// upload's image is larger than that.
static const unplug_case UNPLUGS[] = {
    {"handshake", "no answer", "--sync-replies S,S,S,S,S --image-length 2", "/image.bin", 2},
    {"upload", "answered", "--image-length 1048576 --pace 20000", "/zeros-1m.bin", 1048576},
    {"line reply", "line 1 \"one\": no answer", "--image-length 2 --silent-from-line 1",
     "/image.bin /lines.txt", 2},
};

static target_script ftdi_script(const unplug_case &unplug) {
  target_script script = expecting_image(unplug.image_length);
  if (unplug.when == std::string("handshake"))
    script.sync_replies.assign(5, testbed::SILENT);
  if (unplug.when == std::string("upload"))
    script.bytes_per_second = 20000;
  if (unplug.when == std::string("line reply"))
    script.silent_from_line = 1;
  return script;
}

static const char GONE[] = "fail to (write to|read from) /dev/tty(USB|ACM)0 : (5|19)\n";

// An adapter unplugged mid-run, or a board whose USB device goes: the run
// ends at once with status 2, the port leaves --list, and once it is back
// a load goes through. QEMU's FTDI goes by QMP; the gadget by its module,
// whose removal completes once the target has let go of its far end.
TEST(Usb, AnUnpluggedAdapterEndsTheRunAtOnce) {
  using clock = std::chrono::steady_clock;
  for (const unplug_case &unplug : UNPLUGS) {
    SCOPED_TRACE(unplug.when);
    simulated_target target(ftdi_script(unplug), the_guest->ftdi());
    std::mutex mutex;
    std::condition_variable said;
    bool ready = false;
    target.on_event([&](const std::string &event) {
      std::lock_guard<std::mutex> lock(mutex);
      ready = ready || event.find(unplug.event) != std::string::npos;
      said.notify_all();
    });
    target.start();
    clock::time_point unplugged;
    std::thread unplugger([&] {
      std::unique_lock<std::mutex> lock(mutex);
      said.wait_for(lock, std::chrono::seconds(10), [&] { return ready; });
      std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the run waits on it
      unplugged = clock::now();
      unplug_adapter("ftdi0");
    });
    uart::guest_run ftdi =
        the_guest->run(tarvick(std::string("baud=115200 ") + unplug.files, FTDI));
    double seconds = std::chrono::duration<double>(clock::now() - unplugged).count();
    unplugger.join();
    target.finish();
    EXPECT_EQ(2, ftdi.status);
    EXPECT_THAT(ftdi.out, testing::ContainsRegex(GONE));
    EXPECT_LT(seconds, 1.0);
    printf("FTDI unplugged during the %s: the run ended %.0f ms after: %s", unplug.when,
           seconds * 1000, ftdi.out.c_str());
    EXPECT_THAT(the_guest->run("/bin/tarvick --list").out, testing::Not(testing::HasSubstr(FTDI)));
    plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
    wait_until_usable(FTDI);
    EXPECT_EQ("program loaded, 2 bytes\n",
              serve(expecting_image(2), tarvick("baud=115200 /image.bin", FTDI), the_guest->ftdi())
                  .run.out);

    uart::guest_run acm = on_gadget(
        unplug.gadget, std::string("guest-probe stop-when /tmp/target.log '") + unplug.event +
                           "' 'rmmod g_serial &' /bin/guest-probe as-user 1000 20 /bin/tarvick " +
                           ACM + " baud=115200 " + unplug.files);
    EXPECT_THAT(acm.out, testing::ContainsRegex(GONE));
    int status = -1, took_ms = -1;
    size_t at = acm.out.find("status ");
    ASSERT_NE(std::string::npos, at) << acm.out;
    sscanf(acm.out.c_str() + at, "status %d after %d ms", &status, &took_ms);
    EXPECT_EQ(2, status);
    EXPECT_LT(took_ms, 1000);
    printf("CDC-ACM gadget removed during the %s: the run ended %d ms after: %s", unplug.when,
           took_ms, acm.out.substr(0, acm.out.find('\n') + 1).c_str());
    EXPECT_THAT(the_guest->run("/bin/tarvick --list").out, testing::Not(testing::HasSubstr(ACM)));
    replug_gadget();
    uart::guest_run again = on_gadget("--image-length 2", tarvick("baud=115200 /image.bin", ACM));
    EXPECT_THAT(again.out, testing::HasSubstr("program loaded, 2 bytes\n"));
  }
}

static const char SECOND_FTDI[] = "/dev/ttyUSB1";

// Each adapter by the identity of its USB device, its vendor, product and
// serial number or its serial alone, or by its place: the hub port it is
// plugged into, or that port's interface. The report names the device
// opened, with its identity and its place. The two adapters share their
// vendor and product, which alone are refused, and so is the hub both are
// behind: each refusal names both ports with their places.
TEST(Usb, APortIsFoundByItsIdentityOrItsPlace) {
  struct {
    const char *port;
    int line;
    const char *device, *identity, *place;
  } rows[] = {{"usb:0403:6001:" FIRST_SERIAL, the_guest->ftdi(), FTDI,
               "usb:0403:6001:" FIRST_SERIAL, "usb@" FIRST_PLACE},
              {"usb::" SECOND_SERIAL, the_guest->second_ftdi(), SECOND_FTDI,
               "usb:0403:6001:" SECOND_SERIAL, "usb@" SECOND_PLACE},
              {"usb@" FIRST_PLACE, the_guest->ftdi(), FTDI, "usb:0403:6001:" FIRST_SERIAL,
               "usb@" FIRST_PLACE},
              {"usb@" SECOND_PLACE ":1.0", the_guest->second_ftdi(), SECOND_FTDI,
               "usb:0403:6001:" SECOND_SERIAL, "usb@" SECOND_PLACE}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.port);
    served_run loaded = serve(expecting_image(2),
                              tarvick("baud=115200 /image.bin", row.port, "--report=/tmp/r.json") +
                                  " && cat /tmp/r.json",
                              row.line);
    EXPECT_THAT(loaded.run.out, testing::StartsWith("program loaded, 2 bytes\n"));
    EXPECT_EQ("ok", loaded.target.image);
    nlohmann::json report =
        nlohmann::json::parse(loaded.run.out.substr(loaded.run.out.find('{')), nullptr, false);
    EXPECT_EQ(row.device, report.value("device", ""));
    EXPECT_EQ(row.identity, report["adapter"].value("identity", ""));
    EXPECT_EQ(row.place, report["adapter"].value("location", ""));
    EXPECT_EQ("0403:6001 QEMU USB SERIAL", report["adapter"].value("description", ""));
  }
  const std::string both =
      ": /dev/ttyUSB0 (usb@" FIRST_PLACE "), /dev/ttyUSB1 (usb@" SECOND_PLACE ")\n";
  for (const char *ambiguous : {"usb:0403:6001", "usb@" HUB_PLACE}) {
    SCOPED_TRACE(ambiguous);
    uart::guest_run refused = the_guest->run(tarvick("baud=115200 /image.bin", ambiguous));
    EXPECT_EQ(2, refused.status);
    EXPECT_EQ(std::string(ambiguous) +
                  (ambiguous[3] == ':' ? ": more than one port has that identity"
                                       : ": more than one port is there") +
                  both,
              refused.out);
  }
}

// Waits (10 s at the most) for QEMU's trace, from `from` on, to show
// `count` FTDIs each set to 1200 baud and then told to drop DTR: touches.
// The trace tells devices apart by bus and address.
static bool trace_shows_touches(std::streamoff from, size_t count = 1) {
  for (int waits = 0; waits < 1000; waits++) {
    std::ifstream trace(std::string(GUEST_DIR) + "/trace.log");
    trace.seekg(from);
    std::set<std::string> slow, touched;
    for (std::string line; std::getline(trace, line);) {
      char device[32] = "";
      unsigned value = 0;
      const char *at = strstr(line.c_str(), " dev ");
      if (at == nullptr || sscanf(at, " dev %31s", device) != 1)
        continue;
      const char *control = strstr(line.c_str(), "got control 0x4001, value 0x");
      if (line.find("baud rate 1200") != std::string::npos)
        slow.insert(device);
      if (slow.count(device) && control != nullptr && sscanf(control + 28, "%x", &value) == 1 &&
          (value & 0x100) && !(value & 1))
        touched.insert(device);
    }
    if (touched.size() >= count)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Where QEMU's trace ends now: what comes after is the test's.
static std::streamoff trace_end() {
  std::ifstream trace(std::string(GUEST_DIR) + "/trace.log", std::ios::ate);
  return trace.tellg();
}

// The second board's boot loader: once it has been touched, it goes and
// comes back on its socket with the serial number `serial`.
static std::thread second_board_rebooting(bool *touched, const char *serial) {
  std::streamoff from = trace_end();
  return std::thread([=] {
    *touched = trace_shows_touches(from);
    unplug_adapter("ftdi1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, serial);
  });
}

// Plugs both adapters back as they were, in their order, so that each has
// its own name again.
static void restore_adapters() {
  unplug_adapter("ftdi0");
  unplug_adapter("ftdi1");
  wait_until_gone(FTDI);
  wait_until_gone(SECOND_FTDI);
  plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
  wait_until_usable(FTDI);
  plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, SECOND_SERIAL);
  wait_until_usable(SECOND_FTDI);
}

// A board plugged in late is waited for by its identity; and a board that
// is touched at 1200 baud goes and comes back on its socket as its boot
// loader would, with another serial number: the run loads the image
// through the port that came back.
TEST(Usb, ABoardIsFollowedToThePortThatCameBack) {
  unplug_adapter("ftdi1");
  wait_until_gone(SECOND_FTDI);
  {
    simulated_target target(expecting_image(2), the_guest->second_ftdi());
    target.start();
    std::thread late([] {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, SECOND_SERIAL);
    });
    uart::guest_run waited =
        the_guest->run(tarvick("baud=115200 /image.bin", "usb::" SECOND_SERIAL, "--wait-port=10s"));
    late.join();
    EXPECT_EQ("program loaded, 2 bytes\n", waited.out);
    EXPECT_EQ("ok", target.finish().image);
  }
  simulated_target target(expecting_image(2), the_guest->second_ftdi());
  target.start();
  bool touched = false;
  std::thread boot_loader = second_board_rebooting(&touched, "TARVICK-BOOT");
  uart::guest_run loaded =
      the_guest->run(tarvick("baud=115200 /image.bin", SECOND_FTDI, "--reset=touch"));
  boot_loader.join();
  EXPECT_TRUE(touched) << "QEMU saw no 1200 baud with DTR dropped";
  EXPECT_EQ("program loaded, 2 bytes\n", loaded.out) << loaded.err;
  EXPECT_EQ("ok", target.finish().image);
  EXPECT_THAT(the_guest->run("/bin/tarvick --list").out,
              testing::HasSubstr("/dev/ttyUSB1  0403:6001 QEMU USB SERIAL  "
                                 "usb:0403:6001:TARVICK-BOOT  usb@" SECOND_PLACE));
  restore_adapters();
}

// Two boards touched side by side, each run given its port by name and
// started 0 to 200 ms after the other: both boards go, and come back in
// the other order, so that each comes back under the other's old name.
// Each run loads its own board, found on its own socket, and each far end
// receives its own image.
TEST(Usb, TwoBoardsTouchedSideBySideEachGetTheirOwnImage) {
  the_guest->run("printf aa >/tmp/a.bin; printf bb >/tmp/b.bin");
  for (int gap_ms : {0, 100, 200}) {
    SCOPED_TRACE(gap_ms);
    simulated_target first(expecting_image(2), the_guest->ftdi());
    simulated_target second(expecting_image(2), the_guest->second_ftdi());
    first.start();
    second.start();
    std::streamoff from = trace_end();
    bool touched = false;
    std::thread boot_loaders([&] {
      touched = trace_shows_touches(from, 2);
      unplug_adapter("ftdi0");
      unplug_adapter("ftdi1");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, "TARVICK-B-BOOT");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, "TARVICK-A-BOOT");
    });
    std::string delay = "0." + std::to_string(gap_ms / 100) + std::to_string(gap_ms / 10 % 10);
    uart::guest_run runs = the_guest->run(
        "(sleep " + delay + "; " + tarvick("baud=115200 /tmp/b.bin", SECOND_FTDI, "--reset=touch") +
        " >/tmp/b.out 2>&1; echo \"status $?\" >>/tmp/b.out) & " +
        tarvick("baud=115200 /tmp/a.bin", FTDI, "--reset=touch") +
        " >/tmp/a.out 2>&1; echo \"status $?\" >>/tmp/a.out; wait; cat /tmp/a.out /tmp/b.out");
    boot_loaders.join();
    EXPECT_TRUE(touched) << "QEMU saw no two touches";
    EXPECT_EQ("program loaded, 2 bytes\nstatus 0\nprogram loaded, 2 bytes\nstatus 0\n", runs.out);
    EXPECT_EQ("aa", first.finish().image) << "the first board got the other's image";
    EXPECT_EQ("bb", second.finish().image) << "the second board got the other's image";
    restore_adapters();
  }
}

// The kernel's serial gadget reloaded with another product id and serial,
// as a boot loader that enumerates as another device: a run given the
// application's identity follows the board on its socket.
TEST(Usb, ABoardThatComesBackAsAnotherProductIsFollowed) {
  replug_gadget();
  the_guest->run(
      "printf '%s\\n' 'rmmod g_serial' "
      "'while grep -q \"^g_serial \" /proc/modules; do sleep 0.05; rmmod g_serial; done' "
      "'insmod /modules/g_serial.ko use_acm=1 n_ports=1 idProduct=0xa4a8 iSerialNumber=BOOT-1' "
      "'until [ -e /dev/ttyGS0 ]; do sleep 0.05; done' "
      "'tarvick-target --line /dev/ttyGS0 --image-length 2 >/tmp/target.log 2>&1 &' "
      ">/tmp/boot-loader.sh");
  uart::guest_run loaded = the_guest->run(
      "guest-probe stop-when /tmp/trace.txt 'closed' 'sh /tmp/boot-loader.sh' "
      "/bin/guest-probe as-user 1000 20 /bin/tarvick --reset=touch --trace=- usb:0525:a4a7 "
      "baud=115200 /image.bin 2>/tmp/trace.txt; kill -TERM $(pidof tarvick-target); "
      "while pidof tarvick-target >/dev/null; do sleep 0.05; done; "
      "cat /tmp/trace.txt /tmp/target.log; /bin/tarvick --list");
  EXPECT_THAT(loaded.out, testing::HasSubstr("program loaded, 2 bytes\nstatus 0 after"));
  EXPECT_THAT(loaded.out, testing::HasSubstr("an image of 2 bytes"));
  EXPECT_THAT(loaded.out,
              testing::ContainsRegex("/dev/ttyACM0  0525:a4a8 .*  usb:0525:a4a8:BOOT-1  usb@"));
  replug_gadget();
}

// A touch waits under --wait-port for a port that another run holds, as
// the run's own opening does, then touches it; an adapter that stays is
// taken as it is. So is a UART, which never goes.
TEST(Usb, ATouchWaitsForAPortInUseAndTakesOneThatStays) {
  target_script first_silent = expecting_image(2);
  first_silent.sync_replies = {testbed::SILENT};
  served_run waited =
      serve(first_silent,
            tarvick("baud=115200 /image.bin", FTDI, "--attempts=1 --attempt-time=1500ms") +
                " >/tmp/held.out & sleep 0.3; " +
                tarvick("baud=115200 /image.bin", FTDI, "--reset=touch --wait-port=5s --trace=-") +
                "; wait; cat /tmp/held.out",
            the_guest->ftdi());
  EXPECT_THAT(waited.run.out,
              testing::StartsWith("program loaded, 2 bytes\nsynchronization failed\n"));
  EXPECT_THAT(waited.run.err, testing::HasSubstr("stayed: taken as it is"));
  EXPECT_EQ("ok", waited.target.image);
  served_run uart =
      serve(expecting_image(2), tarvick("baud=115200 /image.bin", PORT, "--reset=touch --trace=-"));
  EXPECT_EQ("program loaded, 2 bytes\n", uart.run.out);
  EXPECT_THAT(uart.run.err, testing::HasSubstr("touch: /dev/ttyS1 stayed: taken as it is"));
  EXPECT_EQ("ok", uart.target.image);
}

static int times_in(const std::string &text, const std::string &wanted) {
  int times = 0;
  for (size_t at = 0; (at = text.find(wanted, at)) != std::string::npos; at += wanted.size())
    times++;
  return times;
}

// A station in the guest, in the background as the test user, with its
// log, its output and its events in /tmp; it watches the kernel's uevents,
// as where no udevd runs.
static void start_station(const std::string &options, const std::string &ports,
                          const char *image = "/image.bin") {
  the_guest->run("rm -f /tmp/station.*; (guest-probe as-user 1000 20 /bin/tarvick --station "
                 "--report=/tmp/station.log " +
                 options + " " + ports + " baud=115200 " + image +
                 " >/tmp/station.out 2>/tmp/station.err & echo $! >/tmp/station.pid; wait $!; "
                 "echo $? >/tmp/station.status) >/dev/null 2>&1 &");
}

// Waits (20 s at the most) for the station's events to tell `text` so many
// times.
static bool station_tells(const std::string &text, int times = 1) {
  return the_guest
             ->run("n=0; until [ $(grep -c '" + text + "' /tmp/station.err) -ge " +
                   std::to_string(times) +
                   " ]; do n=$((n+1)); [ $n -gt 400 ] && exit 1; sleep 0.05; done")
             .status == 0;
}

// Ends the station by Ctrl-C: its status, then its output, events and log.
static uart::guest_run end_station() {
  return the_guest->run("kill -INT $(cat /tmp/station.pid); until [ -e /tmp/station.status ]; do "
                        "sleep 0.05; done; cat /tmp/station.status /tmp/station.out; "
                        "echo @@; cat /tmp/station.err; echo @@; cat /tmp/station.log");
}

// A station by identity and by the hub's place: a board plugged in is
// loaded, one after another and two together, each in its slot; a board
// unplugged in the middle of its load fails and is loaded again once it
// is back; the log has a line a board, then the tally.
TEST(Usb, AStationLoadsBoardsAsTheyArePlugged) {
  for (const char *ports : {"usb@" HUB_PLACE, "usb:0403:6001"}) {
    SCOPED_TRACE(ports);
    unplug_adapter("ftdi0");
    unplug_adapter("ftdi1");
    wait_until_gone(FTDI);
    wait_until_gone(SECOND_FTDI);
    simulated_target first(expecting_image(2), the_guest->ftdi());
    simulated_target second(expecting_image(2), the_guest->second_ftdi());
    first.start();
    second.start();
    start_station("", ports);
    plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
    EXPECT_TRUE(station_tells("usb@" FIRST_PLACE ": passed"));
    plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, SECOND_SERIAL);
    EXPECT_TRUE(station_tells("usb@" SECOND_PLACE ": passed"));
    EXPECT_EQ("ok", first.finish().image);
    EXPECT_EQ("ok", second.finish().image);
    unplug_adapter("ftdi0");
    unplug_adapter("ftdi1");
    EXPECT_TRUE(station_tells("the board went", 2));
    simulated_target again(expecting_image(2), the_guest->ftdi());
    simulated_target together(expecting_image(2), the_guest->second_ftdi());
    again.start();
    together.start();
    plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
    plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, SECOND_SERIAL);
    EXPECT_TRUE(station_tells(": passed", 4));
    uart::guest_run ended = end_station();
    EXPECT_THAT(ended.out, testing::StartsWith("0\n"));
    EXPECT_EQ(4, times_in(ended.out, "\"outcome\":\"loaded\"")) << ended.out;
    EXPECT_THAT(ended.out, testing::HasSubstr("\"slot\":\"usb@" SECOND_PLACE "\""));
    EXPECT_THAT(ended.out, testing::HasSubstr("\"passed\":4"));
    EXPECT_EQ("ok", again.finish().image);
    EXPECT_EQ("ok", together.finish().image);
  }
  // Unplugged in the middle of its load (the handshake answered, the image
  // on its way), then back.
  target_script slow = expecting_image(65536);
  slow.bytes_per_second = 20000;
  simulated_target cut(slow, the_guest->ftdi());
  std::shared_future<void> answered = cut.first_event("answered");
  cut.start();
  unplug_adapter("ftdi0");
  wait_until_gone(FTDI);
  start_station("", "usb@" FIRST_PLACE, "/image-64k.bin");
  plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
  EXPECT_EQ(std::future_status::ready, answered.wait_for(std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the run waits on the line
  unplug_adapter("ftdi0");
  EXPECT_TRUE(station_tells(": failed"));
  EXPECT_TRUE(station_tells("the board went"));
  cut.finish();
  simulated_target back(expecting_image(65536), the_guest->ftdi());
  back.start();
  plug_adapter("ftdi0", "ftdi", FIRST_SOCKET, FIRST_SERIAL);
  EXPECT_TRUE(station_tells(": passed"));
  uart::guest_run ended = end_station();
  EXPECT_THAT(ended.out, testing::StartsWith("2\n")) << "a board failed";
  EXPECT_THAT(ended.out, testing::ContainsRegex("usb@" FIRST_PLACE
                                                ": fail to (write to|read from) usb@" FIRST_PLACE
                                                " : (5|19)"));
  EXPECT_EQ(65536u, back.finish().image_bytes);
  wait_until_usable(SECOND_FTDI);
}

// A touch in a station's run: the board goes and comes back on its socket
// with another serial number, its run follows it there, and the station
// starts no second run for it.
TEST(Usb, AStationRunTouchesItsBoardAndFollowsIt) {
  unplug_adapter("ftdi1");
  wait_until_gone(SECOND_FTDI);
  simulated_target target(expecting_image(2), the_guest->second_ftdi());
  target.start();
  bool touched = false;
  std::thread boot_loader = second_board_rebooting(&touched, "TARVICK-BOOT");
  start_station("--reset=touch", "usb@" SECOND_PLACE);
  plug_adapter("ftdi1", "ftdi2", SECOND_SOCKET, SECOND_SERIAL);
  EXPECT_TRUE(station_tells(": passed"));
  boot_loader.join();
  EXPECT_TRUE(touched);
  EXPECT_EQ("1\n", the_guest->run("sleep 1.5; grep -c 'a board came' /tmp/station.err").out);
  uart::guest_run ended = end_station();
  EXPECT_THAT(ended.out, testing::StartsWith("0\nusb@" SECOND_PLACE ": program loaded, 2 bytes\n"));
  EXPECT_EQ("ok", target.finish().image);
  restore_adapters();
}
