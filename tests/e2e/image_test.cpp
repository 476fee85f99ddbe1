// The image upload: the file's bytes unchanged, and every way it can fail.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

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
  options_ = {"--report=report.json"};
  load_result load_run = load(expecting_image(1), {"missing.bin"});
  std::string failed =
      "fail to open missing.bin : " + std::to_string(code(ENOENT, WINDOWS_FILE_NOT_FOUND));
  expect_failure(load_run.run, failed + "\n");
  EXPECT_EQ("\xAA", load_run.target.received);
  nlohmann::json record = report("report.json");
  EXPECT_EQ("failed", record["outcome"]);
  EXPECT_EQ(2, record["exit_status"]);
  EXPECT_EQ(failed, record["failure"]["message"]);
  EXPECT_EQ(code(ENOENT, WINDOWS_FILE_NOT_FOUND), record["failure"]["code"]);
}

TEST_P(Image, ADirectoryIsNoImage) {
  ASSERT_EQ(0, mkdir(path_of("folder").c_str(), 0755));
  load_result load_run = load(expecting_image(1), {"folder"});
  expect_failure(load_run.run, "fail to open folder : " +
                                   std::to_string(code(EISDIR, WINDOWS_ACCESS_DENIED)) + "\n");
}

// Each frame drawn on the terminal, as it was drawn.
static std::vector<std::string> frames_of(const std::string &err) {
  std::vector<std::string> frames;
  std::string drawn = drawn_text(err);
  for (size_t at = 0; (at = drawn.find("sending", at)) != std::string::npos; at++)
    frames.push_back(drawn.substr(at, drawn.find_first_of("\r\n", at) - at));
  return frames;
}

// At a terminal the upload shows its progress, at most ten times a second,
// fitted to the window (the rate and the time left go first) and never into
// its last column, and erases it before the load line: the screen ends as a
// pipe shows it, however narrow the window. A run that waited for its
// target first shows both lines in turn.
TEST_P(Image, ProgressIsDrawnAtATerminalAndErased) {
  error_on_terminal_ = true;
  const size_t SIZE = 150 * 1024;
  write_file("image.bin", std::string(SIZE, 'p'));
  target_script slow = expecting_image(SIZE);
  slow.bytes_per_second = 300 * 1024;
  for (int columns : {80, 50, 30}) {
    SCOPED_TRACE(std::to_string(columns) + " columns");
    terminal_.columns = columns;
    slow.sync_replies.assign(columns == 80 ? 1 : 0, testbed::SILENT);
    load_result load_run = load(slow, {"image.bin"});
    if (columns == 80) {
      EXPECT_THAT(drawn_text(load_run.run.err), testing::HasSubstr("waiting for the target"));
    }
    expect_success(load_run.run, "program loaded, 153600 bytes\n");
    EXPECT_EQ(SIZE, load_run.target.image_bytes);
    std::vector<std::string> frames = frames_of(load_run.run.err);
    EXPECT_GE(frames.size(), 2u);
    EXPECT_LE(frames.size(), load_run.run.seconds * 10 + 1) << "at most ten frames a second";
    for (const std::string &frame : frames)
      EXPECT_LT(frame.size(), (size_t)columns) << frame;
    if (columns == 80) {
      EXPECT_THAT(frames.back(),
                  testing::MatchesRegex(".* of 150.0 KiB +[0-9]+% +[0-9.]+ KiB/s +0:0[0-9] left"));
    } else if (columns == 50) {
      EXPECT_THAT(frames.back(), testing::MatchesRegex(".* of 150.0 KiB +[0-9]+% +[0-9.]+ KiB/s"));
    }
  }
}

// A terminal stopped by Ctrl-S holds the drawing only: the image goes on
// at the line's pace, also where the terminal was stopped during the
// handshake with standard output on it too; the load ends as ever once
// Ctrl-Q lets the screen go on, and within a moment of its last byte where
// nobody lets it go on, with its status and its whole standard output.
TEST_P(Image, AStoppedTerminalHoldsNoByteOfTheImage) {
  const size_t SIZE = 300 * 1000;
  write_file("image.bin", std::string(SIZE, 's'));
  struct {
    const char *when;
    bool output_too, let_go;
  } rows[] = {{"uploading", false, true}, {"uploading", false, false}, {"handshake", true, true}};
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.when) + (row.let_go ? ", let go" : ", held"));
    target_script slow = expecting_image(SIZE);
    slow.bytes_per_second = 100 * 1000;
    if (row.output_too)
      slow.sync_replies = {testbed::SILENT}; // the handshake waits a second
    testbed::simulated_target target(slow);
    std::shared_future<void> image_done = target.first_event("image complete");
    target.start();
    bool sent_while_stopped = false;
    std::chrono::steady_clock::time_point last_byte;
    error_on_terminal_ = true;
    terminal_.flow_control = true;
    terminal_.output_too = row.output_too;
    terminal_.person = [&](int master) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      ASSERT_EQ(1, write(master, "\x13", 1)); // Ctrl-S
      sent_while_stopped =
          image_done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
      last_byte = std::chrono::steady_clock::now();
      if (row.let_go) {
        ASSERT_EQ(1, write(master, "\x11", 1)); // Ctrl-Q
      }
    };
    program_run loaded =
        run({"--attempt-time=1s", port_name(target), DEFAULT_SETTINGS, "image.bin"});
    double after_last_byte =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - last_byte).count();
    EXPECT_TRUE(sent_while_stopped) << "the image waited for the screen";
    EXPECT_EQ(0, loaded.status);
    if (row.output_too) {
      EXPECT_THAT(screen_text(loaded.err), testing::HasSubstr("program loaded, 300000 bytes"));
    } else if (row.let_go) {
      expect_success(loaded, "program loaded, 300000 bytes\n");
    } else { // the status line is left to the terminal
      EXPECT_EQ(text("program loaded, 300000 bytes\n"), loaded.out);
      EXPECT_LT(after_last_byte, 1.0) << "the run waited for the screen at its end";
    }
    EXPECT_EQ(SIZE, target.finish().image_bytes);
  }
}

// In a log the upload's progress is a plain line a tenth of the way; as
// JSON, a line each time it moved, the last one whole; and --progress=off
// draws nothing at a terminal; standard output is as ever.
TEST_P(Image, ProgressInALogOrNotAtAll) {
  const size_t SIZE = 150 * 1024;
  write_file("image.bin", std::string(SIZE, 'p'));
  target_script slow = expecting_image(SIZE);
  slow.bytes_per_second = 300 * 1024;
  options_ = {"--progress=log"};
  load_result logged = load(slow, {"image.bin"});
  EXPECT_EQ(text("program loaded, 153600 bytes\n"), logged.run.out);
  std::istringstream lines(logged.run.err);
  int count = 0;
  for (std::string line; std::getline(lines, line); count++)
    EXPECT_THAT(line, testing::MatchesRegex("sending .* of 150.0 KiB +[0-9]+% .*"));
  EXPECT_GE(count, 2);
  options_ = {"--progress=json"};
  load_result json_lines = load(slow, {"image.bin"});
  EXPECT_EQ(text("program loaded, 153600 bytes\n"), json_lines.run.out);
  std::istringstream progress(json_lines.run.err);
  nlohmann::json last;
  for (std::string line; std::getline(progress, line);)
    last = nlohmann::json::parse(line);
  EXPECT_EQ(153600, last["bytes_sent"]) << json_lines.run.err;
  EXPECT_EQ(153600, last["total"]);
  EXPECT_EQ(1, last["attempt"]);
  EXPECT_THAT(last["phase"].get<std::string>(), testing::MatchesRegex("upload|drain"));
  options_ = {"--progress=off"};
  error_on_terminal_ = true;
  load_result quiet = load(slow, {"image.bin"});
  expect_success(quiet.run, "program loaded, 153600 bytes\n");
  EXPECT_EQ("", drawn_text(quiet.run.err));
}

// A run stopped while it draws leaves nothing drawn behind, and ends as
// stopped: by the signal natively (any that would end it, SIGUSR1 and
// SIGALRM too), never with status 0 under Wine.
TEST_P(Image, AStoppedRunLeavesNothingDrawn) {
  error_on_terminal_ = true;
  write_file("image.bin", std::string(200 * 1024, 'x'));
  target_script uploading = expecting_image(200 * 1024);
  uploading.bytes_per_second = 20 * 1024;
  target_script waiting = uploading;
  waiting.sync_replies.assign(5, testbed::SILENT);
  struct {
    const char *when;
    const target_script &script;
    int signal;
  } cases[] = {{"uploading", uploading, SIGINT},
               {"uploading", uploading, SIGTERM},
               {"waiting", waiting, SIGINT},
               {"uploading", uploading, SIGALRM},
               {"waiting", waiting, SIGUSR1}};
  for (const auto &stop : cases) {
    SCOPED_TRACE(std::string(stop.when) + ", " + strsignal(stop.signal));
    if (on_wine() && stop.signal != SIGINT)
      continue; // a console has Ctrl-C, not SIGTERM
    testbed::simulated_target target(stop.script);
    target.start();
    // A settings string long enough to pass any fixed buffer (blanks at its
    // end are allowed, but for Wine's parser) leaves its stop's report whole.
    std::string settings = DEFAULT_SETTINGS + std::string(on_wine() ? 0 : 17000, ' ');
    program_run stopped =
        run({"--report=report.json", "--attempt-time=1s", port_name(target), settings, "image.bin"},
            2.5, stop.signal);
    testbed::target_record received = target.finish();
    nlohmann::json record = report("report.json");
    EXPECT_EQ("stopped", record["outcome"]);
    EXPECT_EQ(settings, record["settings"].value("asked", ""));
    if (stop.script.sync_replies.empty()) {
      EXPECT_EQ(200 * 1024, record["image"]["size"]);
      EXPECT_EQ("5d4abf60daba0b11555b6da942dd4f40d5f99ee617e14ba4ba686b47d75a5049",
                record["image"]["sha256"]);
      // All but the piece under way when it was stopped.
      EXPECT_GT(record["bytes_sent"], 0);
      EXPECT_LT(received.image_bytes - record["bytes_sent"].get<uint64_t>(), 64 * 1024u);
    }
    EXPECT_EQ(stop.script.sync_replies.empty() ? "upload" : "handshake", record["stopped_in"]);
    EXPECT_EQ(on_wine() ? "Ctrl-C" : "SIG" + std::string(sigabbrev_np(stop.signal)),
              record["stopped_by"]);
    EXPECT_TRUE(stopped.timed_out);
    EXPECT_EQ("", stopped.out);
    EXPECT_THAT(drawn_text(stopped.err),
                testing::HasSubstr(stop.script.sync_replies.empty() ? "sending"
                                                                    : "waiting for the target"));
    EXPECT_EQ(std::vector<std::string>{""}, screen_of(stopped.err, terminal_.columns))
        << stopped.err;
    if (on_wine())
      EXPECT_NE(0, stopped.status);
    else
      EXPECT_EQ(stop.signal, stopped.signal);
    EXPECT_LT(stopped.seconds, 3.5) << "it ends at once";
  }
}

ON_BOTH_PLATFORMS(Image);
