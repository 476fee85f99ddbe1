// The station's log: each board's report, and the tally.
#include "station_log.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "../platform/children.h"
#include "../platform/platform.h"
#include "../platform/record_files.h"

using json = nlohmann::ordered_json;

static json report_at(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  json report = json::parse(text, nullptr, false);
  return report.is_object() ? report : json::object();
}

board_ending read_board_ending(const std::string &path, const std::string &slot, int board,
                               int status, const std::string &stopped_by) {
  json report = report_at(path);
  remove(path.c_str());
  board_ending ending = {json{{"slot", slot}, {"board", board}}, "failed", ""};
  std::string outcome = report.value("outcome", "");
  if (outcome == "loaded" || outcome == "failed" || outcome == "stopped") {
    ending.outcome = outcome;
  } else if (!stopped_by.empty()) {
    ending.outcome = report["outcome"] = "stopped";
    report["exit_status"] = nullptr;
    report["stopped_by"] = stopped_by;
  } else {
    report["outcome"] = "failed";
    report["exit_status"] = status;
    report["failure"] = {
        {"message", "the run ended without finishing its report, status " + std::to_string(status)},
        {"code", nullptr}};
  }
  if (ending.outcome == "stopped")
    ending.message = "stopped by " + report.value("stopped_by", std::string("a signal"));
  else if (report.contains("failure") && report["failure"].is_object())
    ending.message = report["failure"].value("message", "");
  ending.report.update(report);
  return ending;
}

bool log_line(const char *path, const json &line) {
  static bool said = false;
  std::string text;
  try {
    text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  } catch (const std::exception &) {
    text = "{}\n";
  }
  const char *refused = append_line(path, text);
  if (refused == nullptr)
    return true;
  if (!said) {
    std::string warning =
        std::string("tarvick: the log could not be written to ") + path + ": " + refused + "\n";
    write_error_at_once(warning.data(), warning.size());
    said = true;
  }
  return false;
}
