// The image upload: the file's bytes unchanged, and every way it can fail.
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "harness.h"

using namespace e2e;
using testbed::target_script;

static const unsigned WINDOWS_FILE_NOT_FOUND = 2;
static const unsigned WINDOWS_ACCESS_DENIED = 5;
static const uint64_t FOUR_GIB = 1ull << 32;

class Image : public LoadTest {};

TEST_P(Image, AnEmptyImageSendsNothing) {
  write_file("empty.bin", "");
  load_result load_run = load(expecting_image(0), {"empty.bin"});
  expect_success(load_run.run, "program loaded, 0 bytes\n");
  EXPECT_EQ("\xAA", load_run.target.received);
}

TEST_P(Image, EveryByteValueGoesOutUnchanged) {
  std::string image;
  for (int round = 0; round < 64; round++)
    for (int value = 0; value < 256; value++)
      image += (char)value;
  std::mt19937 random(7);
  for (int i = 0; i < 300000; i++)
    image += (char)(random() & 0xFF);
  write_file("image.bin", image);
  load_result load_run = load(expecting_image(image.size()), {"image.bin"});
  expect_success(load_run.run, "program loaded, " + std::to_string(image.size()) + " bytes\n");
  EXPECT_EQ(image.size(), load_run.target.image.size());
  EXPECT_TRUE(image == load_run.target.image) << "the image arrived changed";
}

TEST_P(Image, FourGibibytesOrMoreIsRejectedAfterTheHandshake) {
  for (uint64_t size : {FOUR_GIB, FOUR_GIB + 12345}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(0, truncate(path_of(write_file("big.bin", "")).c_str(), (off_t)size));
    load_result load_run = load(expecting_image(1), {"big.bin"});
    expect_failure(load_run.run, "file \"big.bin\" is to long\n");
    EXPECT_EQ("\xAA", load_run.target.received);
  }
}

TEST_P(Image, AMissingImageIsReportedAfterTheHandshake) {
  load_result load_run = load(expecting_image(1), {"missing.bin"});
  expect_failure(load_run.run, "fail to open missing.bin : " +
                                   std::to_string(code(ENOENT, WINDOWS_FILE_NOT_FOUND)) + "\n");
  EXPECT_EQ("\xAA", load_run.target.received);
}

TEST_P(Image, ADirectoryIsNoImage) {
  ASSERT_EQ(0, mkdir(path_of("folder").c_str(), 0755));
  load_result load_run = load(expecting_image(1), {"folder"});
  expect_failure(load_run.run, "fail to open folder : " +
                                   std::to_string(code(EISDIR, WINDOWS_ACCESS_DENIED)) + "\n");
}

// At a terminal the upload shows its progress, at most ten times a second,
// and erases it before the load line: the screen ends as a pipe shows it.
TEST_P(Image, ProgressIsDrawnAtATerminalAndErased) {
  error_on_terminal_ = true;
  const size_t SIZE = 150 * 1024;
  write_file("image.bin", std::string(SIZE, 'p'));
  target_script slow = expecting_image(SIZE);
  slow.bytes_per_second = 300 * 1024;
  load_result load_run = load(slow, {"image.bin"});
  expect_success(load_run.run, "program loaded, 153600 bytes\n");
  EXPECT_EQ(SIZE, load_run.target.image_bytes);
  std::string drawn = drawn_text(load_run.run.err);
  size_t frames = 0;
  for (size_t at = 0; (at = drawn.find("sending", at)) != std::string::npos; at++)
    frames++;
  EXPECT_GE(frames, 2u) << drawn;
  EXPECT_LE(frames, load_run.run.seconds * 10 + 1) << "at most ten frames a second";
  EXPECT_THAT(drawn, testing::ContainsRegex("of 150.0 KiB +[0-9]+% +[0-9.]+ KiB/s +0:0[0-9] left"));
}

ON_BOTH_PLATFORMS(Image);
