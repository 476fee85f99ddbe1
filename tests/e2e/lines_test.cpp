// Line programming: one line out, one reply back, a mark per reply.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "harness.h"

using namespace e2e;
using testbed::target_script;

static const unsigned WINDOWS_FILE_NOT_FOUND = 2;
static const unsigned WINDOWS_ACCESS_DENIED = 5;
static const char LOADED[] = "program loaded, 1 bytes\n";

typedef std::vector<std::string> lines;

static target_script replying(std::vector<uint8_t> replies) {
  target_script script = expecting_image(1);
  script.line_replies = replies;
  return script;
}

static std::string summary(unsigned nacks) {
  return "\nprogramming complete, " + std::to_string(nacks) + " nack received.\n";
}

class Lines : public LoadTest {
protected:
  void SetUp() override {
    LoadTest::SetUp();
    write_file("image.bin", "I");
  }
  // Loads with `text` as the programming file.
  load_result program(const target_script &script, const std::string &text) {
    write_file("lines.txt", text);
    return load(script, {"image.bin", "lines.txt"});
  }
};

TEST_P(Lines, AcceptedLinesPrintAMarkEachAndTheSummary) {
  load_result load_run = program(replying({}), "first\nsecond\nthird\n");
  expect_success(load_run.run, LOADED + std::string("###") + summary(0));
  EXPECT_EQ((lines{"first", "second", "third"}), load_run.target.lines);
  EXPECT_EQ("\xAA"
            "Ifirst\nsecond\nthird\n",
            load_run.target.received);
}

TEST_P(Lines, EveryNackSendsTheLineAgainAndIsCounted) {
  load_result load_run = program(replying({3, 1, 4, 5, 6, 1}), "one\ntwo\n");
  expect_success(load_run.run, LOADED + std::string("B#BBE#") + summary(4));
  EXPECT_EQ((lines{"one", "one", "two", "two", "two", "two"}), load_run.target.lines);
}

TEST_P(Lines, UnexpectedRepliesPrintThemselvesAndAreNoNacks) {
  load_result load_run = program(replying({'A', 0, '\r', 0xFF, 7, 1}), "only\n");
  expect_success(load_run.run, LOADED + std::string("A\0\r\xFF\x07#", 6) + summary(0));
  EXPECT_EQ(6u, load_run.target.lines.size());
}

TEST_P(Lines, WrittenOkEndsTheRunAtOnce) {
  load_result load_run = program(replying({1, 1, 2}), "a\nb\nc\nd\ne\n");
  expect_success(load_run.run, LOADED + std::string("##written OK\n"));
  EXPECT_EQ((lines{"a", "b", "c"}), load_run.target.lines);
}

TEST_P(Lines, WrittenOkAfterANackFollowsItsMark) {
  load_result load_run = program(replying({6, 2}), "a\nb\n");
  expect_success(load_run.run, LOADED + std::string("Ewritten OK\n"));
}

TEST_P(Lines, LineEndsAreLfOrCrLfAndALoneCrIsData) {
  load_result load_run = program(replying({}), "dos\r\nunix\nlone\rcr\n\r\n\nlast");
  expect_success(load_run.run, LOADED + std::string("######") + summary(0));
  EXPECT_EQ((lines{"dos", "unix", "lone\rcr", "", "", "last"}), load_run.target.lines);
}

TEST_P(Lines, CtrlZEndsTheText) {
  load_result load_run = program(replying({}), "a\nb\x1a"
                                               "c\nd\n");
  expect_success(load_run.run, LOADED + std::string("##") + summary(0));
  EXPECT_EQ((lines{"a", "b"}), load_run.target.lines);
}

TEST_P(Lines, CtrlZAfterTheLastLineEndSendsNothingMore) {
  load_result load_run = program(replying({}), "a\n\x1a\n\nmore\n");
  expect_success(load_run.run, LOADED + std::string("#") + summary(0));
  EXPECT_EQ((lines{"a"}), load_run.target.lines);
}

TEST_P(Lines, AnEmptyFileSendsNothing) {
  load_result load_run = program(replying({}), "");
  expect_success(load_run.run, LOADED + summary(0));
  EXPECT_EQ("\xAAI", load_run.target.received);
}

TEST_P(Lines, LinesCarryAnyByte) {
  std::string line;
  for (int value = 0; value < 256; value++)
    if (value != '\n' && value != 0x1A)
      line += (char)value;
  load_result load_run = program(replying({}), line + "\n" + line);
  expect_success(load_run.run, LOADED + std::string("##") + summary(0));
  EXPECT_EQ((lines{line, line}), load_run.target.lines);
}

TEST_P(Lines, AVeryLongLineGoesOutWhole) {
  std::string line;
  for (int i = 0; i < 3 * 1024 * 1024; i++)
    line += (char)('a' + i % 26);
  load_result load_run = program(replying({3, 1}), "short\n" + line + "\r\nend\n");
  expect_success(load_run.run, LOADED + std::string("B##") + std::string("#") + summary(1));
  ASSERT_EQ(4u, load_run.target.lines.size());
  EXPECT_TRUE(line == load_run.target.lines[2]);
}

// Progress belongs to the image: a slow line draws nothing, so nothing
// blanks the marks printed so far on a terminal.
TEST_P(Lines, SlowLinesDrawNothingAtATerminal) {
  error_on_terminal_ = true;
  target_script slow = replying({});
  slow.bytes_per_second = 200 * 1024;
  std::string line(64 * 1024, 'l'); // more than the driver takes at once
  load_result load_run = program(slow, line + "\n" + line + "\n");
  expect_success(load_run.run, LOADED + std::string("##") + summary(0));
  EXPECT_EQ("", load_run.run.err);
}

TEST_P(Lines, AByteAlreadyWaitingAnswersTheFirstLine) {
  target_script script = replying({});
  script.after_image = "X";
  load_result load_run = program(script, "a\nb\n");
  // X asks for the first line again; from then on each reply answers the
  // line before, one step behind.
  expect_success(load_run.run, LOADED + std::string("X##") + summary(0));
  EXPECT_EQ((lines{"a", "a", "b"}), load_run.target.lines);
}

TEST_P(Lines, AMissingProgrammingFileIsReportedAfterTheImage) {
  load_result load_run = load(expecting_image(1), {"image.bin", "missing.txt"});
  expect_failure(load_run.run, LOADED + std::string("fail to open missing.txt : ") +
                                   std::to_string(code(ENOENT, WINDOWS_FILE_NOT_FOUND)) + "\n");
  EXPECT_EQ("\xAAI", load_run.target.received);
}

TEST_P(Lines, AFileOpenForWritingElsewhereIsRead) {
  write_file("lines.txt", "one\n");
  testbed::simulated_target target(replying({}));
  target.start();
  std::string port = port_name(target);
  expect_success(run_holding("lines.txt", {port, DEFAULT_SETTINGS, "image.bin", "lines.txt"}),
                 LOADED + std::string("#") + summary(0));
  EXPECT_EQ(lines{"one"}, target.finish().lines);
}

TEST_P(Lines, ADirectoryIsNoProgrammingFile) {
  ASSERT_EQ(0, mkdir(path_of("folder").c_str(), 0755));
  load_result load_run = load(expecting_image(1), {"image.bin", "folder"});
  expect_failure(load_run.run, LOADED + std::string("fail to open folder : ") +
                                   std::to_string(code(EISDIR, WINDOWS_ACCESS_DENIED)) + "\n");
}

// A reply that does not come within --reply-timeout ends the run.
TEST_P(Lines, ASilentTargetEndsTheRunUnderAReplyTimeout) {
  target_script silent = replying({});
  silent.silent_from_line = 2;
  options_ = {"--reply-timeout=300ms"};
  load_result load_run = program(silent, "one\ntwo\nthree\n");
  expect_failure(load_run.run, LOADED + std::string("#fail to read from ") + load_run.port + "\n");
  EXPECT_LT(load_run.run.seconds, 3.0);
}

// A load with lines and a nack, as its trace tells it, line for line with
// the port and the times masked, and as its report tells it, read back.
TEST_P(Lines, ALoadIsRecordedInItsTraceAndItsReport) {
  options_ = {"--trace=first.txt", "--trace=trace.txt", "--report=report.json"};
  load_result load_run = program(replying({3, 1}), "one\ntwo\n");
  EXPECT_FALSE(std::filesystem::exists(path_of("first.txt"))) << "the last one given wins";
  expect_success(load_run.run, LOADED + std::string("B##") + summary(1));
  // Each line as it follows the milliseconds, with the times masked.
  std::string trace;
  std::istringstream traced(read_file("trace.txt"));
  for (std::string line; std::getline(traced, line);)
    trace += std::regex_replace(line.substr(line.find(" ms  ") + 5),
                                std::regex("[0-9.]+ (ms|KiB/s)"), "T") +
             "\n";
  EXPECT_EQ(
      "tarvick " TARVICK_VERSION "\n"
      "option --trace=trace.txt, from the command line\n"
      "option --report=report.json, from the command line\n"
      "port " +
          load_run.port +
          " opened\n"
          "settings \"baud=115200 parity=N data=8 stop=1\", read back: 115200 baud, 8 data bits, "
          "parity none, stop bits 1, no flow control, DTR on, RTS on\n"
          "handshake attempt 1: 0xAA sent\n"
          "handshake attempt 1: 0x4B received after T\n"
          "image image.bin: 1 bytes\n"
          "image sent in T (T), drained in T, SHA-256 "
          "a83dd0ccbffe39d071cc317ddf6e97f5c6b1c87af91919271f9fa140b0508c6c\n"
          "line 1: 3 bytes, reply 0x03 after T\n"
          "line 1: 3 bytes, reply 0x01 after T\n"
          "line 2: 3 bytes, reply 0x01 after T\n"
          "loaded: 13 bytes, 2 lines, 1 nacks\n",
      trace);
  nlohmann::json record = report("report.json");
  EXPECT_EQ("loaded", record["outcome"]);
  EXPECT_EQ(0, record["exit_status"]);
  EXPECT_EQ(load_run.port, record["port"]);
  EXPECT_EQ(1, record["image"]["size"]);
  EXPECT_EQ("a83dd0ccbffe39d071cc317ddf6e97f5c6b1c87af91919271f9fa140b0508c6c",
            record["image"]["sha256"]);
  EXPECT_EQ(1, record["handshake_attempts"]);
  EXPECT_EQ(2, record["lines_sent"]);
  EXPECT_EQ(1, record["nacks"]);
  EXPECT_EQ(5u, record["phases_ms"].size()) << record.dump();
}

ON_BOTH_PLATFORMS(Lines);

// One drain in a whole run, after the image and before its load line: a
// line's reply proves that it arrived, and a drain costs a jiffy or more
// on a real UART.
class NativeLines : public Lines {};

TEST_P(NativeLines, OnlyTheImageIsDrained) {
  std::string text;
  for (int i = 0; i < 100; i++)
    text += "line " + std::to_string(i) + "\n";
  write_file("lines.txt", text);
  testbed::simulated_target target(replying({}));
  target.start();
  program_run traced =
      run_in_shell("ASAN_OPTIONS=detect_leaks=0 " // no leak check under ptrace
                   "strace -f -qq -e trace=ioctl,write -o trace.txt \"$0\" \"$@\"",
                   {target.port_path(), DEFAULT_SETTINGS, "image.bin", "lines.txt"});
  expect_success(traced, LOADED + std::string(100, '#') + summary(0));
  std::ifstream trace(path_of("trace.txt"));
  std::string call, calls;
  int drains = 0;
  while (std::getline(trace, call)) {
    if (call.find("TCSBRK") != std::string::npos) {
      drains++;
      calls += "drain ";
    } else if (call.find("\"program loaded") != std::string::npos) {
      calls += "loaded ";
    }
  }
  EXPECT_EQ(1, drains);
  EXPECT_EQ("drain loaded ", calls);
}

NATIVE_ONLY(NativeLines);
