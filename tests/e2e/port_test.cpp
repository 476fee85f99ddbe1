// Opening and configuring the port, and every way that can fail.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <thread>

#include "harness.h"

using namespace e2e;
using testbed::simulated_target;
using testbed::target_script;

static const unsigned WINDOWS_FILE_NOT_FOUND = 2;
static const unsigned WINDOWS_ACCESS_DENIED = 5;
static const unsigned WINDOWS_NOT_SUPPORTED = 50;
static const unsigned WINDOWS_INVALID_PARAMETER = 87;
static const int LATE_PORT_COM = 241; // a range of its own, as the gone port's

class Port : public LoadTest {};

TEST_P(Port, ThatDoesNotExistIsReportedByName) {
  std::string port = on_wine() ? "COM254" : "/dev/tarvick-no-such-port";
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin"}),
                 "fail to open " + port + " : " +
                     std::to_string(code(ENOENT, WINDOWS_FILE_NOT_FOUND)) + "\n");
}

TEST_P(Port, ThatIsNoSerialDeviceFailsAtItsTimeouts) {
  write_file("plain.txt", "not a port");
  program_run result = run({"plain.txt", DEFAULT_SETTINGS, "image.bin"});
  EXPECT_EQ(2, result.status);
  if (on_wine())
    EXPECT_THAT(result.out, testing::MatchesRegex("fail to get plain.txt timeouts: [0-9]+\r\n"));
  else
    EXPECT_EQ("fail to get plain.txt timeouts: " + std::to_string(ENOTTY) + "\n", result.out);
  EXPECT_EQ("", result.err);
}

TEST_P(Port, RejectedSettingsAreReportedWithThePortName) {
  for (const char *settings : {"baud=9600 parity=no", "96,N,8,1 to=on", " baud=9600", "fast"}) {
    SCOPED_TRACE(settings);
    load_result load_run = load(target_script{}, {"image.bin"}, settings);
    expect_failure(load_run.run, load_run.port + " config error: " +
                                     std::to_string(code(EINVAL, WINDOWS_INVALID_PARAMETER)) +
                                     "\n");
    EXPECT_EQ("", load_run.target.received);
  }
}

TEST_P(Port, SettingsAreAppliedInRawMode) {
  write_file("image.bin", "");
  load_result load_run =
      load(target_script{}, {"image.bin"}, "baud=57600 parity=N data=8 stop=2 xon=on octs=on");
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  const tty_settings &port = load_run.settings;
  EXPECT_EQ(57600u, port.speed);
  EXPECT_TRUE(port.cflag & CSTOPB);
  EXPECT_TRUE(port.cflag & CRTSCTS);
  EXPECT_TRUE(port.cflag & CREAD);
  EXPECT_TRUE(port.iflag & IXON);
  EXPECT_TRUE(port.iflag & IXOFF);
  EXPECT_FALSE(port.lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(port.oflag & OPOST);
  EXPECT_FALSE(port.iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
}

TEST_P(Port, ASpeedAloneKeepsWhatTheStringDoesNotName) {
  write_file("image.bin", "");
  simulated_target target(target_script{});
  target.start();
  std::string port = port_name(target);
  expect_success(run({port, "baud=9600 stop=2 xon=on octs=on", "image.bin"}),
                 "program loaded, 0 bytes\n");
  target.new_session();
  expect_success(run({port, "baud=19200", "image.bin"}), "program loaded, 0 bytes\n");
  tty_settings settings;
  ASSERT_TRUE(get_tty_settings(target.master_fd(), &settings));
  EXPECT_EQ(19200u, settings.speed);
  EXPECT_FALSE(settings.cflag & CSTOPB) << "a speed without stop bits means one stop bit";
  EXPECT_TRUE(settings.iflag & IXON) << "flow control is kept from the port";
  EXPECT_TRUE(settings.cflag & CRTSCTS);
  EXPECT_EQ(2, target.finish().sync_requests);
}

// Speed 0 passes the syntax but is no speed (it would hang the line up);
// Wine would take it.
TEST_P(Port, ASpeedOfZeroIsRefusedWhenApplied) {
  load_result load_run = load(target_script{}, {"image.bin"}, "baud=0");
  expect_failure(load_run.run, "fail to set " + load_run.port + " config: " +
                                   std::to_string(code(EINVAL, WINDOWS_INVALID_PARAMETER)) + "\n");
  EXPECT_EQ("", load_run.target.received);
}

// A port that appears after the run started (a board plugged in late) is
// waited for under --wait-port.
TEST_P(Port, APortThatAppearsLateIsWaitedFor) {
  write_file("image.bin", "x");
  simulated_target target(expecting_image(1));
  target.start();
  std::string late = on_wine() ? "\\\\.\\COM" + std::to_string(LATE_PORT_COM) : path_of("late");
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    if (on_wine())
      ports_.push_back(std::make_unique<wine_port>(target.port_path(), LATE_PORT_COM));
    else
      symlink(target.port_path().c_str(), late.c_str());
  });
  program_run loaded = run({"--wait-port=10s", late, DEFAULT_SETTINGS, "image.bin"});
  plug.join();
  expect_success(loaded, "program loaded, 1 bytes\n");
  EXPECT_GT(loaded.seconds, 0.5);
}

// A port given by the USB device behind it or by its place: none here has
// either, so it is a port not there (waited for under --wait-port); a
// badly formed one is refused, naming it; a file of that very name is
// taken as it stands. A touched board whose port does not go within a
// second is taken as it is; a run refused for its settings touches nothing,
// and the port keeps its speed.
TEST_P(Port, APortGivenByItsUsbIdentityOrPlaceOrTouched) {
  write_file("image.bin", "x");
  std::string missing = std::to_string(code(ENOENT, WINDOWS_FILE_NOT_FOUND));
  for (const char *absent : {"usb:0403:6001", "usb@1-1.4"})
    expect_failure(run({absent, DEFAULT_SETTINGS, "image.bin"}),
                   "fail to open " + std::string(absent) + " : " + missing + "\n");
  program_run waited = run({"--wait-port=300ms", "usb::NO-SUCH-BOARD", "96,N,8,1", "image.bin"});
  expect_failure(waited, "fail to open usb::NO-SUCH-BOARD : " + missing + "\n");
  EXPECT_GT(waited.seconds, 0.3);
  expect_failure(run({"usb:04g3:6001", DEFAULT_SETTINGS, "image.bin"}),
                 "usb:04g3:6001: a USB identity is usb:VID:PID, usb:VID:PID:SERIAL or usb::SERIAL, "
                 "VID and PID in hex\n");
  expect_failure(run({"usb@1-x", DEFAULT_SETTINGS, "image.bin"}),
                 "usb@1-x: a USB location is usb@ and the place tarvick --list shows: usb@1-1.4, "
                 "or usb@1-1.4:1.1 for one port of several\n");
  simulated_target target(expecting_image(1));
  target.start();
  std::string port = port_name(target, 10); // on Windows a \\.\COM name, as above COM9
  if (!on_wine()) {
    ASSERT_EQ(0, symlink(target.port_path().c_str(), path_of("usb:1234:5678").c_str()));
    port = "usb:1234:5678";
  }
  tty_settings before;
  ASSERT_TRUE(get_tty_settings(target.master_fd(), &before));
  for (const char *settings : {"baud=9600 parity=no", "baud=0"}) {
    SCOPED_TRACE(settings);
    EXPECT_EQ(2, run({"--reset=touch", port, settings, "image.bin"}).status);
    tty_settings after;
    ASSERT_TRUE(get_tty_settings(target.master_fd(), &after));
    EXPECT_EQ(before.speed, after.speed) << "no touch at 1200 baud";
  }
  program_run touched = run({"--reset=touch", port, DEFAULT_SETTINGS, "image.bin"});
  expect_success(touched, "program loaded, 1 bytes\n");
  EXPECT_GT(touched.seconds, 1.0) << "a second for the port to go";
}

// A reset sequence needs modem lines, which a pseudo-terminal has not:
// refused before anything is sent.
// So are RTS steps with CTS flow control on Linux and macOS, where the
// kernel drives RTS itself then (Windows leaves RTS to the program).
TEST_P(Port, AResetOnAPortWithoutModemLinesIsRefused) {
  options_ = {"--reset=dtr,10ms,!dtr"};
  load_result load_run = load(target_script{}, {"image.bin"});
  std::string no_lines = " lines: " + std::to_string(code(ENOTTY, WINDOWS_NOT_SUPPORTED)) + "\n";
  expect_failure(load_run.run, "fail to set " + load_run.port + no_lines);
  EXPECT_EQ("", load_run.target.received);
  options_ = {"--reset=rts,10ms,!rts"};
  load_run = load(target_script{}, {"image.bin"}, "baud=9600 octs=on");
  expect_failure(load_run.run, on_wine() ? "fail to set " + load_run.port + no_lines
                                         : load_run.port +
                                               ": --reset drives RTS, which the settings give to "
                                               "handshake\n");
}

// A second run on a port that a run holds is refused at opening, with the
// code Windows gives, however the port is spelled; Wine would let it in,
// its handshake into the first run's image.
TEST_P(Port, ASecondRunOnAPortInUseIsRefused) {
  write_file("image.bin", "x");
  target_script silent;
  silent.sync_replies.assign(5, testbed::SILENT);
  simulated_target target(silent);
  std::promise<void> held;
  std::once_flag once;
  target.on_event([&](const std::string &) { std::call_once(once, [&] { held.set_value(); }); });
  target.start();
  std::string port = port_name(target);
  // Under Wine one port has many spellings, and a device two COM names.
  std::vector<std::string> spellings = {port};
  if (on_wine()) {
    std::string bare = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    spellings = {"\\\\?\\" + bare, "\\\\.\\" + bare + " ", port_name(target)};
    if (bare.size() == 4) // COM1 to COM9 open by their bare name, a colon after it too
      spellings.push_back(bare + ":");
  }
  std::thread first([&] { run({port, DEFAULT_SETTINGS, "image.bin"}, on_wine() ? 6 : 3, SIGINT); });
  held.get_future().wait_for(std::chrono::seconds(10));
  for (const std::string &spelling : spellings) {
    SCOPED_TRACE(spelling);
    expect_failure(run({spelling, DEFAULT_SETTINGS, "image.bin"}),
                   "fail to open " + spelling + " : " +
                       std::to_string(code(EWOULDBLOCK, WINDOWS_ACCESS_DENIED)) + "\n");
  }
  first.join();
}

ON_BOTH_PLATFORMS(Port);

// What Wine does not emulate: exclusive use, refused speeds and speeds off
// the standard list.
class NativePort : public LoadTest {};

// A port another program holds fails to open; under --wait-port it is
// waited for, by the touch's own opening too.
TEST_P(NativePort, HeldByAnotherProgramFailsToOpen) {
  write_file("image.bin", "x");
  simulated_target target(expecting_image(1));
  target.start();
  int holder = open(target.port_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  expect_failure(run({target.port_path(), DEFAULT_SETTINGS, "image.bin"}),
                 "fail to open " + target.port_path() + " : " + std::to_string(EWOULDBLOCK) + "\n");
  std::thread let_go([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    close(holder);
  });
  program_run touched =
      run({"--reset=touch", "--wait-port=5s", target.port_path(), DEFAULT_SETTINGS, "image.bin"});
  let_go.join();
  expect_success(touched, "program loaded, 1 bytes\n");
  EXPECT_GT(touched.seconds, 0.6);
  EXPECT_EQ("\xAAx", target.finish().received) << "the refused run sent nothing";
}

TEST_P(NativePort, TakesAnySpeed) {
  write_file("image.bin", "");
  load_result load_run = load(target_script{}, {"image.bin"}, "baud=123456");
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_EQ(123456u, load_run.settings.speed);
}

// A port left with CTS flow control by another tool: "octs=off" ends it.
// (Wine's own mapping keeps CRTSCTS from the RTS handshake.)
TEST_P(NativePort, CtsFlowControlCanBeSwitchedOff) {
  write_file("image.bin", "");
  simulated_target target(target_script{});
  target.start();
  for (const char *settings : {"baud=9600 octs=on", "baud=9600 octs=off"}) {
    target.new_session();
    expect_success(run({target.port_path(), settings, "image.bin"}), "program loaded, 0 bytes\n");
  }
  tty_settings settings;
  ASSERT_TRUE(get_tty_settings(target.master_fd(), &settings));
  EXPECT_FALSE(settings.cflag & CRTSCTS);
}

// A port never set up for serial use is cooked, with the terminal's XON/XOFF;
// a string that does not name flow control leaves none, as on Windows.
TEST_P(NativePort, AFreshPortGetsNoFlowControl) {
  write_file("image.bin", "");
  target_script fresh;
  fresh.raw_port = false;
  load_result load_run = load(fresh, {"image.bin"});
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_FALSE(load_run.settings.iflag & (IXON | IXOFF));
}

// The exclusive mark belongs to the device and outlives the run while
// another process (here the target) holds the device open.
static bool marked_exclusive(const std::string &port) {
  int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int exclusive = -1;
  ioctl(fd, TIOCGEXCL, &exclusive);
  close(fd);
  return exclusive == 1;
}

TEST_P(NativePort, ExclusiveUseEndsWithTheRunHoweverItEnds) {
  write_file("image.bin", "");
  for (int stop_signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM}) {
    SCOPED_TRACE(stop_signal);
    target_script silent;
    silent.sync_replies.assign(5, testbed::SILENT);
    simulated_target target(silent);
    target.start();
    program_run stopped =
        run({target.port_path(), DEFAULT_SETTINGS, "image.bin"}, 0.5, stop_signal);
    EXPECT_EQ(stop_signal, stopped.signal) << "it ends by the signal it was sent";
    EXPECT_EQ("", stopped.out);
    EXPECT_FALSE(marked_exclusive(target.port_path()));
  }
}

// Root is not kept out by the mark, so a run as root must not take away a
// mark that another program set.
TEST_P(NativePort, AnExclusiveMarkSetByAnotherProgramStays) {
  write_file("image.bin", "");
  simulated_target target(target_script{});
  target.start();
  int other = open(target.port_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(0, ioctl(other, TIOCEXCL));
  expect_success(run({target.port_path(), DEFAULT_SETTINGS, "image.bin"}),
                 "program loaded, 0 bytes\n");
  EXPECT_TRUE(marked_exclusive(target.port_path()));
  close(other);
}

// The terminal a person works at, by any name, and the multiplexer of
// pseudo-terminals are no ports: refused before anything is sent there.
TEST_P(NativePort, TheTerminalOfThePersonIsNoPort) {
  error_on_terminal_ = true;
  terminal_.controlling = true;
  for (std::string port : {"/dev/tty", "/dev/stderr", "/dev/ptmx"}) {
    SCOPED_TRACE(port);
    program_run refused = run({port, DEFAULT_SETTINGS, "image.bin"}, 5);
    expect_failure(refused, "fail to get " + port + " timeouts: " + std::to_string(ENOTTY) + "\n");
    EXPECT_THAT(screen_text(refused.err), testing::HasSubstr("the terminal you work at"));
    EXPECT_EQ(std::string::npos, refused.err.find('\xAA')) << "nothing was sent to it";
  }
}

NATIVE_ONLY(NativePort);
