// The record object, without a port: the report's text as the run's facts
// and ending make it, the copy a stop writes whole, and the ending that
// decides the status once. Each case that feeds the record runs in a
// process of its own (the record is the process's), and the report it
// leaves is read back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "../../base/record_report.h"
#include "../../base/record_stop_copy.h"
#include "../../base/run_record.h"

using json = nlohmann::json;

static report_facts some_facts() {
  report_facts facts = {};
  facts.port = "usb@1-4.1";
  facts.device = "/dev/ttyUSB0";
  facts.image = "fw.bin";
  facts.sha256_unavailable = "not finished";
  for (long long &ms : facts.phase_ms)
    ms = -1;
  return facts;
}

// The image's size is null until it is known, the hash null with why; an
// ending states its status, its failure, and a record that was lost.
TEST(RecordReport, TheTextSaysWhatIsKnownAndHowItEnded) {
  struct {
    bool size_known;
    const char *sha256;
    report_ending ending;
  } rows[] = {{false, "", {"running", -1, "", false, 0, ""}},
              {true, "", {"failed", 2, "synchronization failed", false, 0, ""}},
              {true, "ab12", {"loaded", 2, "", false, 0, "the trace could not be written"}},
              {true, "ab12", {"failed", 2, "fail to open x : 2", true, 2, ""}}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.ending.outcome);
    report_facts facts = some_facts();
    facts.image_size_known = row.size_known;
    facts.image_size = 4096;
    facts.sha256 = row.sha256;
    json report = json::parse(report_text(facts, {1, 2, 3, 4}, row.ending));
    EXPECT_EQ(row.size_known ? json(4096) : json(nullptr), report["image"]["size"]);
    EXPECT_EQ(*row.sha256 ? json(row.sha256) : json(nullptr), report["image"]["sha256"]);
    EXPECT_EQ(*row.sha256 ? json(nullptr) : json("not finished"),
              report["image"].value("sha256_unavailable", json(nullptr)));
    EXPECT_EQ(row.ending.outcome, report["outcome"]);
    EXPECT_EQ(row.ending.exit_status < 0 ? json(nullptr) : json(row.ending.exit_status),
              report["exit_status"]);
    EXPECT_EQ(row.ending.failure_message.empty() ? json(nullptr) : json(row.ending.failure_message),
              report.value("failure", json::object()).value("message", json(nullptr)));
    EXPECT_EQ(row.ending.record_error.empty() ? json(nullptr) : json(row.ending.record_error),
              report.value("record_error", json(nullptr)));
    EXPECT_EQ(2u, report["bytes_sent"]);
  }
}

// A stop's copy: the head kept ready, its tail added with plain code, the
// whole report in one write (in a process of its own: after a stop, no copy
// is made ready again).
static bool stop_into(int fd) {
  keep_stop_copy_ready(report_head(some_facts()));
  record_place place = {RECORD_STREAM, fd, "", 0, 0};
  return write_stop_copy(&place, report_counts{2, 4096, 0, 0}, "upload", "SIGTERM");
}

TEST(RecordReport, AStopsCopyIsOneWholeReport) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  EXPECT_EXIT(_exit(stop_into(ends[1]) ? 0 : 1), testing::ExitedWithCode(0), "");
  close(ends[1]);
  char buffer[8192];
  ssize_t got = read(ends[0], buffer, sizeof buffer);
  close(ends[0]);
  ASSERT_GT(got, 0);
  ASSERT_EQ('\n', buffer[got - 1]);
  json report = json::parse(std::string(buffer, (size_t)got));
  EXPECT_EQ("stopped", report["outcome"]);
  EXPECT_EQ("upload", report["stopped_in"]);
  EXPECT_EQ("SIGTERM", report["stopped_by"]);
  EXPECT_EQ(4096u, report["bytes_sent"]);
  EXPECT_EQ("/dev/ttyUSB0", report["device"]);
}

class RecordObject : public testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tarvick-record-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    folder_ = pattern;
    report_ = folder_ + "/report.json";
  }
  void TearDown() override {
    unlink(report_.c_str());
    rmdir(folder_.c_str());
  }
  json report() const {
    std::ifstream file(report_);
    return json::parse(std::string(std::istreambuf_iterator<char>(file), {}), nullptr, false);
  }
  // Starts the record as the command line does, with its report.
  void start(const char *trace = nullptr) {
    report_to(report_.c_str());
    if (trace != nullptr)
      trace_to(trace);
    record_asked("usb@1-4.1", "115200,N,8,1", "fw.bin", nullptr);
    start_trace();
    start_report();
  }
  std::string folder_, report_;
};

// A stop during the reading of a large image knows its size from the file,
// and its hash is null for a reason said.
TEST_F(RecordObject, AStopKnowsTheImagesSizeAndWhyItsHashIsNull) {
  EXPECT_EXIT(
      {
        start();
        port_opened("/dev/ttyUSB0");
        begin_phase(PHASE_UPLOAD);
        image_size_known(1u << 28);
        finish_records_at_once("SIGTERM");
        _exit(0);
      },
      testing::ExitedWithCode(0), "");
  json stopped = report();
  EXPECT_EQ("stopped", stopped["outcome"]);
  EXPECT_EQ(1u << 28, stopped["image"]["size"]);
  EXPECT_EQ(nullptr, stopped["image"]["sha256"]);
  EXPECT_EQ("not finished", stopped["image"]["sha256_unavailable"]);
  EXPECT_EQ("upload", stopped["stopped_in"]);
}

// The ending judges the records before it decides the status: a trace that
// cannot be written makes a completed load's status 2, which the report
// states, naming the trace.
TEST_F(RecordObject, TheStatusIsDecidedOnceTheRecordsAreJudged) {
  EXPECT_EXIT(
      {
        start("/dev/full");
        trace("a line the trace cannot take");
        _exit(finish_records(0));
      },
      testing::ExitedWithCode(2), "the trace could not be written to /dev/full");
  json ended = report();
  EXPECT_EQ("loaded", ended["outcome"]);
  EXPECT_EQ(2, ended["exit_status"]);
  EXPECT_THAT(ended.value("record_error", ""),
              testing::StartsWith("the trace could not be written to /dev/full"));
}
