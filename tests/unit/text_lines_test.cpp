// The programming file's reader against a plain model of its lines, with
// chunk boundaries falling everywhere, CR LF split across them included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "../text_lines_model.h"

class TextLines : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvick-lines-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = pattern;
  }
  void TearDown() override { unlink(path_.c_str()); }

  // The text read from the start of the file, then behind a first line
  // that puts a chunk boundary at each place in it.
  void expect_lines(const std::string &text, const std::vector<std::string> &expected) {
    write(text);
    ASSERT_EQ(expected, reader_lines(path_.c_str()));
    for (size_t offset = 0; offset <= text.size() && offset < 16; offset++) {
      SCOPED_TRACE("chunk boundary " + std::to_string(offset) + " bytes in");
      write(boundary_at(offset) + text);
      std::vector<std::string> lines = reader_lines(path_.c_str());
      ASSERT_FALSE(lines.empty());
      lines.erase(lines.begin());
      ASSERT_EQ(expected, lines);
    }
  }
  void write(const std::string &text) {
    std::ofstream(path_, std::ios::binary).write(text.data(), (std::streamsize)text.size());
  }

  std::string path_;
};

TEST_F(TextLines, LineEnds) {
  expect_lines("a\nbc\r\n\r\n\nd", {"a", "bc", "", "", "d"});
  expect_lines("lone\rcr\n\r\r\n", {"lone\rcr", "\r"});
  expect_lines("", {});
  expect_lines("\n", {""});
  expect_lines("\r", {"\r"});
  expect_lines("no end", {"no end"});
}

TEST_F(TextLines, CtrlZEndsTheText) {
  expect_lines("a\nb\x1a"
               "c\n",
               {"a", "b"});
  expect_lines("a\n\x1a\n", {"a"});
  expect_lines("\x1a"
               "abc\n",
               {});
  expect_lines("a\r\x1a", {"a\r"});
}

TEST_F(TextLines, AnyByteAndAnyLength) {
  std::string zeros("\0\0x\0", 4);
  expect_lines(zeros + "\n" + zeros, {zeros, zeros});
  std::string long_line(200000, 'q');
  expect_lines(long_line + "\r\n" + long_line, {long_line, long_line});
}

TEST_F(TextLines, AgreesWithTheModelOnRandomText) {
  std::mt19937 random(11);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0', 0x1A};
  for (int round = 0; round < 100; round++) {
    std::string text;
    size_t length = random() % 40;
    for (size_t i = 0; i < length; i++)
      text += alphabet[random() % (random() % 8 == 0 ? 6 : 5)];
    SCOPED_TRACE(testing::PrintToString(text));
    expect_lines(text, model_lines(text));
  }
}
