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
       std::vector<std::vector<std::string>>{{}, {port}, {port, DEFAULT_SETTINGS}}) {
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

ON_BOTH_PLATFORMS(CommandLine);
