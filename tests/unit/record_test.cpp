// The record object, without a port: the report's text as the run's facts
// and ending make it, and what a stop knows before the image is read. A
// case that feeds the record runs in a process of its own (the record is
// the process's), and the report it leaves is read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "../../base/record_report.h"
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

// A stop during the reading of a large image knows its size from the file,
// and its hash is null for a reason said.
TEST(RecordObject, AStopKnowsTheImagesSizeAndWhyItsHashIsNull) {
  char folder[] = "/tmp/tarvick-record-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  std::string path = std::string(folder) + "/report.json";
  EXPECT_EXIT(
      {
        report_to(path.c_str());
        record_asked("usb@1-4.1", "115200,N,8,1", "fw.bin", nullptr);
        start_report();
        port_opened("/dev/ttyUSB0");
        begin_phase(PHASE_UPLOAD);
        image_size_known(1u << 28);
        finish_records_at_once("SIGTERM");
        _exit(0);
      },
      testing::ExitedWithCode(0), "");
  std::ifstream file(path);
  json stopped = json::parse(std::string(std::istreambuf_iterator<char>(file), {}), nullptr, false);
  unlink(path.c_str());
  rmdir(folder);
  EXPECT_EQ("stopped", stopped["outcome"]);
  EXPECT_EQ(1u << 28, stopped["image"]["size"]);
  EXPECT_EQ(nullptr, stopped["image"]["sha256"]);
  EXPECT_EQ("not finished", stopped["image"]["sha256_unavailable"]);
  EXPECT_EQ("upload", stopped["stopped_in"]);
}
