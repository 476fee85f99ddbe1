// The command line: usage, the run sequence, and what extra arguments do.
#include "harness.h"

using namespace e2e;
using testbed::simulated_target;
using testbed::target_script;

static const char USAGE[] = "Usage: tarvick <COM port> <comSettings> <filename>\n"
                            "  comSettings example: baud=38400 parity=N data=8 stop=1\n";

class CommandLine : public LoadTest {};

TEST_P(CommandLine, FewerThanThreeArgumentsGiveTheUsageAndLeaveThePortAlone) {
  simulated_target target(target_script{});
  target.start();
  std::string port = port_name(target);
  for (const std::vector<std::string> &args :
       std::vector<std::vector<std::string>>{{}, {port}, {"--helpme"}, {port, DEFAULT_SETTINGS}}) {
    SCOPED_TRACE(std::to_string(args.size()) + " arguments");
    expect_failure(run(args), USAGE);
  }
  EXPECT_EQ("", target.finish().received);
}

TEST_P(CommandLine, ThreeArgumentsLoadTheImageOnly) {
  write_file("image.bin", "abc");
  write_file("lines.txt", "never sent\n");
  load_result load_run = load(expecting_image(3), {"image.bin"});
  expect_success(load_run.run, "program loaded, 3 bytes\n");
  EXPECT_EQ("\xAA"
            "abc",
            load_run.target.received);
}

TEST_P(CommandLine, ArgumentsPastTheFourthAreIgnored) {
  write_file("image.bin", "abc");
  write_file("lines.txt", "one\ntwo\n");
  load_result load_run = load(expecting_image(3), {"image.bin", "lines.txt", "extra", "more"});
  expect_success(load_run.run,
                 "program loaded, 3 bytes\n##\nprogramming complete, 0 nack received.\n");
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), load_run.target.lines);
}

TEST_P(CommandLine, HelpAndVersionAnswerAlone) {
  for (const char *help : {"--help", "-h"}) {
    program_run result = run({help});
    EXPECT_EQ(0, result.status);
    EXPECT_THAT(result.out,
                testing::StartsWith(text("Usage: tarvick [options] <COM port> "
                                         "<comSettings> <filename> [programming-file]\n")));
    EXPECT_THAT(result.out, testing::HasSubstr("TARVICK_WRITE_TIMEOUT"));
    EXPECT_THAT(result.out, testing::HasSubstr("baud=38400 parity=N data=8 stop=1"));
    EXPECT_THAT(result.out, testing::HasSubstr("96,N,8,1"));
    EXPECT_THAT(result.out, testing::HasSubstr("man tarvick"));
    EXPECT_EQ("", result.err);
  }
  for (const char *version : {"--version", "-V"})
    expect_success(run({version}), "tarvick " TARVICK_VERSION "\n");
}

// Under Wine a COM port is a link in its dosdevices, and a link to a folder
// or a file is none; natively a pseudo-terminal is no serial port and is
// left out.
TEST_P(CommandLine, ListNamesTheSerialPorts) {
  simulated_target target(target_script{});
  std::string port = port_name(target, 20);
  std::vector<std::string> not_ports;
  if (on_wine()) {
    write_file("file.bin", "not a port");
    for (const std::string &path : {path_of("file.bin"), directory_}) {
      ports_.push_back(std::make_unique<wine_port>(path, 20));
      not_ports.push_back(ports_.back()->name());
    }
  }
  program_run result = run({"--list"});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ("", result.err);
  if (on_wine()) {
    EXPECT_THAT(result.out, testing::HasSubstr(text(port + "\n")));
    for (const std::string &name : not_ports)
      EXPECT_THAT(result.out, testing::Not(testing::HasSubstr(name + "\r"))) << name;
  } else {
    EXPECT_THAT(result.out, testing::Not(testing::HasSubstr(target.port_path())));
  }
  EXPECT_EQ("", target.finish().received) << "listing opens no port";
}

// An option or a variable refused is named, before the port is touched.
TEST_P(CommandLine, AnOptionRefusedNamesItself) {
  simulated_target target(target_script{});
  target.start();
  std::string port = port_name(target);
  expect_failure(
      run({"--report=report.json", "--attempts=many", port, DEFAULT_SETTINGS, "image.bin"}),
      "--attempts=many: a whole number is needed, up to 1000000\n");
  EXPECT_EQ("", read_file("report.json")) << "a refused run makes no record";
  // An option after the port is refused, not taken for the programming
  // file or ignored; a value is refused on one line.
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin", "--reply-timeout=5s"}),
                 "--reply-timeout=5s: options come before the port\n");
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin", "lines.txt", "--attempts=3"}),
                 "--attempts=3: options come before the port\n");
  expect_failure(run({port, "--report=r.json", DEFAULT_SETTINGS, "image.bin"}),
                 "--report=r.json: options come before the port\n");
  expect_failure(run({port, DEFAULT_SETTINGS, "--trace=t.txt", "image.bin"}),
                 "--trace=t.txt: options come before the port\n");
  expect_failure(run({"--trace=a\nb", port, DEFAULT_SETTINGS, "image.bin"}),
                 "--trace=a\\nb: a value may not hold a line break\n");
  // A station's own options and its list of ports.
  expect_failure(run({"--count=2", port, DEFAULT_SETTINGS, "image.bin"}),
                 "--count=2: only with --station\n");
  expect_failure(run({"--station=yes", port, DEFAULT_SETTINGS, "image.bin"}),
                 "--station=yes: it takes no value\n");
  expect_failure(run({"--station", port + ",,usb@1-1", DEFAULT_SETTINGS, "image.bin"}),
                 port + ",,usb@1-1: an element of the list is empty\n");
  expect_failure(run({"--station", "usb@1-1,usb:x", DEFAULT_SETTINGS, "image.bin"}),
                 "usb:x: a USB identity is usb:VID:PID, usb:VID:PID:SERIAL or usb::SERIAL, VID and "
                 "PID in hex\n");
  environment_ = {"TARVICK_RESET=dtr+dsr"};
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin"}),
                 "TARVICK_RESET=dtr+dsr: a step is dtr, !dtr, rts or !rts, two of them at once "
                 "(dtr+!rts), or a wait (100ms)\n");
  EXPECT_EQ("", target.finish().received);
}

ON_BOTH_PLATFORMS(CommandLine);
