// A line or a target that misbehaves: every failure ends quickly with its
// message and status 2, never a hang, never a crash.
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "harness.h"

using namespace e2e;
using testbed::target_script;

static const size_t IMAGE_SIZE = 4 << 20;

class Faults : public LoadTest {};

TEST_P(Faults, AHangUpDuringTheUploadEndsTheRunAtOnce) {
  write_file("image.bin", std::string(IMAGE_SIZE, 'i'));
  target_script script = expecting_image(IMAGE_SIZE);
  script.hang_up_after_image_bytes = 100000;
  script.keep_image = false;
  load_result load_run = load(script, {"image.bin"});
  EXPECT_EQ(2, load_run.run.status);
  if (on_wine())
    EXPECT_THAT(load_run.run.out, testing::MatchesRegex("fail to write to .* : [0-9]+\r\n"));
  else
    EXPECT_EQ("fail to write to " + load_run.port + " : " + std::to_string(EIO) + "\n",
              load_run.run.out);
  EXPECT_EQ("", load_run.run.err);
  EXPECT_LT(load_run.run.seconds, 3.0);
  EXPECT_TRUE(load_run.target.hung_up);
}

TEST_P(Faults, AFloodOfGarbageFailsTheHandshakeQuickly) {
  write_file("image.bin", "x");
  target_script script = expecting_image(1);
  script.flood_bytes = 1 << 20;
  script.sync_replies.assign(5, testbed::SILENT); // the garbage is all it sends
  load_result load_run = load(script, {"image.bin"});
  expect_failure(load_run.run, "synchronization failed\n");
  EXPECT_EQ(5, load_run.target.sync_requests);
  EXPECT_LT(load_run.run.seconds, 5.0);
}

// An adapter that is unplugged takes its device name with it, as udev
// removes /dev/serial/by-id links (and Windows its COM name).
TEST_P(Faults, APortThatWentAwayIsReportedAtOpening) {
  write_file("image.bin", "");
  std::string port;
  {
    testbed::simulated_target target(target_script{});
    target.start();
    port = port_name(target);
    if (!on_wine()) {
      ASSERT_EQ(0, symlink(target.port_path().c_str(), path_of("adapter").c_str()));
      port = "adapter";
    }
    expect_success(run({port, DEFAULT_SETTINGS, "image.bin"}), "program loaded, 0 bytes\n");
  }
  ports_.clear();
  unlink(path_of("adapter").c_str());
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin"}),
                 "fail to open " + port + " : " + std::to_string(ENOENT) + "\n");
}

// A system file claims a whole page as its size but holds a few bytes: as
// an image that shrank after its size was taken, only what was read is sent.
TEST_P(Faults, AnImageShorterThanItsSizeSendsWhatWasRead) {
  const char *path = "/sys/class/tty/ptmx/dev";
  std::ifstream file(path);
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(content.empty());
  load_result load_run = load(expecting_image(content.size()), {path});
  expect_success(load_run.run, "program loaded, " + std::to_string(content.size()) + " bytes\n");
  EXPECT_EQ(content, load_run.target.image);
}

ON_BOTH_PLATFORMS(Faults);

// Wine never returns from a read without time-out on a line that hung up.
class NativeFaults : public LoadTest {};

TEST_P(NativeFaults, AHangUpDuringLineProgrammingIsNoTimeOut) {
  write_file("image.bin", "I");
  write_file("lines.txt", "one\ntwo\nthree\n");
  target_script script = expecting_image(1);
  script.hang_up_after_lines = 2;
  load_result load_run = load(script, {"image.bin", "lines.txt"});
  // The line may go while the second line is still being sent, or while its
  // reply is awaited.
  EXPECT_EQ(2, load_run.run.status);
  EXPECT_THAT(load_run.run.out,
              testing::MatchesRegex("program loaded, 1 bytes\n#fail to (write to|read from) " +
                                    load_run.port + " : " + std::to_string(EIO) + "\n"));
  EXPECT_EQ("", load_run.run.err);
  EXPECT_LT(load_run.run.seconds, 3.0);
}

NATIVE_ONLY(NativeFaults);
