// The report's JSON: built whole where the program may allocate, and the
// tail of a stop's copy put together with plain code.
#include "record_report.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "../platform/platform.h"

using json = nlohmann::ordered_json;

const char *const PHASE_NAMES[PHASES] = {"opening", "handshake", "upload", "drain", "lines"};

static json text(const std::string &name) {
  return json(text_in_utf8(name.c_str()));
}

static json adapter_json(const adapter_facts &adapter) {
  json object = json::object();
  const std::pair<const char *, const std::string *> fields[] = {
      {"description", &adapter.description},
      {"serial", &adapter.serial},
      {"identity", &adapter.identity},
      {"location", &adapter.location},
      {"stable_names", &adapter.stable_names}};
  for (const auto &field : fields)
    if (!field.second->empty())
      object[field.first] = text(*field.second);
  return object;
}

static json image_json(const report_facts &facts) {
  json image = {{"path", text(facts.image)},
                {"size", facts.image_size_known ? json(facts.image_size) : json(nullptr)},
                {"sha256", facts.sha256.empty() ? json(nullptr) : json(facts.sha256)}};
  if (facts.sha256.empty())
    image["sha256_unavailable"] = facts.sha256_unavailable;
  return image;
}

static json facts_json(const report_facts &facts) {
  json phases = json::object();
  for (int i = 0; i < PHASES; i++)
    if (facts.phase_ms[i] >= 0)
      phases[PHASE_NAMES[i]] = facts.phase_ms[i];
  return json{
      {"tool", "tarvick"},
      {"version", TARVICK_VERSION},
      {"started", facts.started},
      {"port", text(facts.port)},
      {"device", text(facts.device)},
      {"adapter", adapter_json(facts.adapter)},
      {"settings",
       {{"asked", text(facts.settings_asked)}, {"read_back", text(facts.settings_read_back)}}},
      {"image", image_json(facts)},
      {"programming_file",
       facts.has_programming_file ? text(facts.programming_file) : json(nullptr)},
      {"phases_ms", phases}};
}

// Bytes that are not UTF-8 (a name in another encoding) are each written
// as U+FFFD, the replacement character: JSON holds Unicode text only.
static std::string dumped(const json &report) {
  return report.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string report_head(const report_facts &facts) {
  std::string head = dumped(facts_json(facts));
  head.pop_back(); // the closing brace: the counts and the ending follow
  return head;
}

std::string report_text(const report_facts &facts, const report_counts &counts,
                        const report_ending &ending) {
  json report = facts_json(facts);
  report["handshake_attempts"] = counts.handshake_attempts;
  report["bytes_sent"] = counts.bytes_sent;
  report["lines_sent"] = counts.lines_sent;
  report["nacks"] = counts.nacks;
  report["outcome"] = ending.outcome;
  report["exit_status"] = ending.exit_status >= 0 ? json(ending.exit_status) : json(nullptr);
  if (!ending.failure_message.empty())
    report["failure"] = {
        {"message", text(ending.failure_message)},
        {"code", ending.failure_has_code ? json(ending.failure_code) : json(nullptr)}};
  if (!ending.record_error.empty())
    report["record_error"] = text(ending.record_error);
  return dumped(report) + "\n";
}

// Only plain code from here on: a signal handler calls it.
static size_t put(char *into, size_t room, size_t at, const char *text) {
  size_t length = strlen(text);
  if (at + length > room)
    length = room > at ? room - at : 0;
  memcpy(into + at, text, length);
  return at + length;
}

static size_t put_decimal(char *into, size_t room, size_t at, uint32_t number) {
  char backwards[12];
  size_t length = 0;
  do
    backwards[length++] = (char)('0' + number % 10);
  while ((number /= 10) != 0);
  char text[12];
  for (size_t i = 0; i < length; i++)
    text[i] = backwards[length - 1 - i];
  text[length] = '\0';
  return put(into, room, at, text);
}

size_t stopped_tail(char *into, size_t room, const report_counts &counts, const char *phase,
                    const char *stopped_by) {
  const char *names[] = {
      ",\"handshake_attempts\":", ",\"bytes_sent\":", ",\"lines_sent\":", ",\"nacks\":"};
  uint32_t values[] = {counts.handshake_attempts, counts.bytes_sent, counts.lines_sent,
                       counts.nacks};
  size_t at = 0;
  for (int i = 0; i < 4; i++)
    at = put_decimal(into, room, put(into, room, at, names[i]), values[i]);
  at = put(into, room, at, ",\"outcome\":\"stopped\",\"exit_status\":null,\"stopped_in\":\"");
  at = put(into, room, at, phase);
  at = put(into, room, at, "\",\"stopped_by\":\"");
  at = put(into, room, at, stopped_by);
  return put(into, room, at, "\"}\n");
}
