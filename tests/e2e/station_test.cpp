// A station over a list of ports whose links come and go, as boards are
// plugged in and out: each board loaded once, in a run of its own, its
// lines whole on standard output behind its slot, its report a line of the
// log, and the station ended by Ctrl-C, a stop or --count.
#include <unistd.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <sstream>

#include "harness.h"

using namespace e2e;
using testbed::simulated_target;
using testbed::target_script;

// COM numbers of their own for each test, which may run beside the other,
// so that a board comes back as it was.
static const int STATION_COM = 221, STOPPING_COM = 231;

class Station : public LoadTest {
protected:
  // A board: a target whose port is linked under a name of its own while
  // it is plugged in; a board plugged in again starts over.
  struct board {
    std::unique_ptr<simulated_target> target;
    std::string name;
    std::unique_ptr<wine_port> com;
    std::shared_ptr<std::promise<void>> answered; // the first handshake
  };

  board make_board(const target_script &script, const std::string &name, int com) {
    board made = {std::make_unique<simulated_target>(script), on_wine() ? "" : path_of(name),
                  nullptr, std::make_shared<std::promise<void>>()};
    auto answered = made.answered;
    auto once = std::make_shared<std::once_flag>();
    made.target->on_event([answered, once](const std::string &event) {
      if (event.find("answered") != std::string::npos)
        std::call_once(*once, [&] { answered->set_value(); });
    });
    made.target->start();
    plug(&made, com);
    return made;
  }
  void plug(board *one, int com) {
    if (on_wine()) {
      one->com = std::make_unique<wine_port>(one->target->port_path(), com);
      one->name = one->com->name();
    } else {
      ASSERT_EQ(0, symlink(one->target->port_path().c_str(), one->name.c_str()));
    }
  }
  void unplug(board *one) {
    if (on_wine())
      one->com.reset();
    else
      unlink(one->name.c_str());
  }
  // The log's lines, each an object.
  std::vector<nlohmann::json> log_lines() const {
    std::vector<nlohmann::json> lines;
    std::istringstream log(read_file("log.jsonl"));
    for (std::string line; std::getline(log, line);)
      lines.push_back(nlohmann::json::parse(line, nullptr, false));
    return lines;
  }
  // Standard output's lines, sorted: boards side by side print in any order.
  std::vector<std::string> sorted_lines(const std::string &out) const {
    std::vector<std::string> lines;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);)
      lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  }
};

// Two boards there at the start are loaded at once, side by side; one that
// stays is not loaded again; one plugged out and in again is; a failing
// board is recorded and the other goes on. Every line a run prints comes
// whole behind its slot, and each board's report is a line of the log,
// then the tally. A failure makes the station's status 2.
TEST_P(Station, LoadsEachBoardOnceAndAgainWhenItComesBack) {
  write_file("image.bin", "hello");
  write_file("lines.txt", "one\ntwo\n");
  target_script silent = expecting_image(5);
  silent.sync_replies = {testbed::SILENT};
  for (bool fails : {false, true}) {
    SCOPED_TRACE(fails ? "the second board fails" : "both pass");
    board first = make_board(expecting_image(5), "A", STATION_COM);
    board second = make_board(fails ? silent : expecting_image(5), "B", STATION_COM + 1);
    auto station =
        start({"--station", "--report=log.jsonl", "--attempts=1", "--attempt-time=500ms",
               first.name + "," + second.name, DEFAULT_SETTINGS, "image.bin", "lines.txt"});
    ASSERT_TRUE(station->wait_for(": passed", fails ? 1 : 2)) << station->finish().err;
    ASSERT_TRUE(station->wait_for(fails ? ": failed" : ": passed", fails ? 1 : 2));
    EXPECT_FALSE(station->wait_for("a board came", 3, 1.5)) << "a board that stays is loaded once";
    unplug(&first);
    ASSERT_TRUE(station->wait_for(first.name + ": the board went"));
    first.target->new_session();
    plug(&first, STATION_COM);
    ASSERT_TRUE(station->wait_for(first.name + ": passed", 2));
    station->signal(SIGINT);
    program_run ended = station->finish();
    EXPECT_EQ(fails ? 2 : 0, ended.status) << ended.err;
    std::vector<std::string> second_says =
        fails ? std::vector<std::string>{second.name + ": synchronization failed"}
              : std::vector<std::string>{second.name + ": ##",
                                         second.name + ": program loaded, 5 bytes",
                                         second.name + ": programming complete, 0 nack received."};
    std::vector<std::string> expected = {first.name + ": ##",
                                         first.name + ": ##",
                                         first.name + ": program loaded, 5 bytes",
                                         first.name + ": program loaded, 5 bytes",
                                         first.name + ": programming complete, 0 nack received.",
                                         first.name + ": programming complete, 0 nack received."};
    expected.insert(expected.end(), second_says.begin(), second_says.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, sorted_lines(on_wine() ? [&] {
      std::string out = ended.out;
      out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
      return out;
    }()
                                               : ended.out));
    std::vector<nlohmann::json> log = log_lines();
    ASSERT_EQ(4u, log.size()) << read_file("log.jsonl");
    for (int i = 0; i < 3; i++) {
      bool failing = log[i]["slot"] == second.name && fails;
      EXPECT_EQ(failing ? "failed" : "loaded", log[i]["outcome"]) << log[i];
      EXPECT_EQ(log[i]["slot"], log[i]["port"]) << "the run is given its slot";
      EXPECT_EQ(failing ? "synchronization failed" : "",
                log[i].value("failure", nlohmann::json::object()).value("message", ""));
    }
    EXPECT_EQ("ended", log[3]["station"]);
    unplug(&first);
    unplug(&second);
    EXPECT_EQ(fails ? 2 : 3, log[3]["passed"]);
    EXPECT_EQ(fails ? 1 : 0, log[3]["failed"]);
    unlink(path_of("log.jsonl").c_str());
  }
}

// The first Ctrl-C takes no new board and lets the load under way finish;
// a second, or SIGTERM at any time, stops it as a single run is stopped,
// and its report says so (under Wine, which ends a program at once on
// SIGTERM, the run is stopped by the console's event). --count ends the
// station once so many boards have passed.
TEST_P(Station, CtrlCFinishesTheLoadsAndASecondOrAStopEndsThem) {
  const size_t SIZE = 30000;
  write_file("image.bin", std::string(SIZE, 's'));
  target_script slow = expecting_image(SIZE);
  slow.bytes_per_second = 15000;
  struct {
    std::vector<int> signals;
    const char *outcome, *stopped_by, *on_wine;
    int status;
  } rows[] = {{{SIGINT}, "loaded", "", "", 0},
              {{SIGINT, SIGINT}, "stopped", "SIGINT", "Ctrl-C", 2},
              {{SIGTERM}, "stopped", "SIGTERM", nullptr, 2}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.stopped_by);
    if (on_wine() && row.on_wine == nullptr)
      continue;
    board first = make_board(slow, "A", STOPPING_COM);
    auto station =
        start({"--station", "--report=log.jsonl", first.name, DEFAULT_SETTINGS, "image.bin"});
    ASSERT_EQ(std::future_status::ready,
              first.answered->get_future().wait_for(std::chrono::seconds(10)));
    for (size_t i = 0; i < row.signals.size(); i++) {
      station->signal(row.signals[i]);
      ASSERT_TRUE(station->wait_for("stopping", (int)i + 1));
    }
    program_run ended = station->finish();
    EXPECT_EQ(row.status, ended.status) << ended.err;
    std::vector<nlohmann::json> log = log_lines();
    ASSERT_EQ(2u, log.size()) << read_file("log.jsonl");
    EXPECT_EQ(row.outcome, log[0]["outcome"]) << log[0];
    EXPECT_EQ(on_wine() ? row.on_wine : row.stopped_by, log[0].value("stopped_by", ""));
    unplug(&first);
    unlink(path_of("log.jsonl").c_str());
  }
  write_file("image.bin", "x");
  board first = make_board(expecting_image(1), "A", STOPPING_COM);
  auto station = start({"--station", "--count=2", first.name, DEFAULT_SETTINGS, "image.bin"});
  ASSERT_TRUE(station->wait_for(": passed"));
  unplug(&first);
  ASSERT_TRUE(station->wait_for(": the board went"));
  first.target->new_session();
  plug(&first, STOPPING_COM);
  program_run ended = station->finish();
  EXPECT_FALSE(ended.timed_out) << "the second pass ends the station";
  EXPECT_EQ(0, ended.status);
  EXPECT_EQ(
      text(first.name + ": program loaded, 1 bytes\n" + first.name + ": program loaded, 1 bytes\n"),
      ended.out);
}

ON_BOTH_PLATFORMS(Station);

// What Wine does not draw as a terminal would.
class NativeStation : public Station {};

// At a terminal the station draws its view there, a tally above a line a
// slot, and leaves it standing at the end; standard output is what it
// would be without a terminal.
TEST_P(NativeStation, DrawsItsViewAtATerminal) {
  write_file("image.bin", "hello");
  board first = make_board(expecting_image(5), "A", STATION_COM);
  error_on_terminal_ = true;
  terminal_.columns = 120;
  program_run ended =
      run({"--station", path_of("B") + "," + first.name, DEFAULT_SETTINGS, "image.bin"}, 3, SIGINT);
  EXPECT_EQ(0, ended.status);
  EXPECT_EQ(first.name + ": program loaded, 5 bytes\n", ended.out);
  std::vector<std::string> screen = screen_of(ended.err, 120);
  ASSERT_GE(screen.size(), 3u) << ended.err;
  EXPECT_EQ("tarvick station: 1 passed, 0 failed, 0 loading", screen[0].substr(0, 46));
  EXPECT_THAT(screen[1], testing::MatchesRegex(".*/B +- +waiting"));
  EXPECT_THAT(screen[2], testing::MatchesRegex(".*/A +- +[0-9.]+ s  passed, remove the board"));
}

NATIVE_ONLY(NativeStation);
