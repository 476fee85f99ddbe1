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

ON_BOTH_PLATFORMS(Image);
