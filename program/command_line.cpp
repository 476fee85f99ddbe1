// The command line: the options and their environment variables, the
// arguments, every refusal, and the start of the run's records.
#include "command_line.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "../base/progress_json.h"
#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"
#include "../platform/record_files.h"
#include "option_values.h"
#include "options.h"

static run_options chosen;

static const char *take_reset(const char *value) {
  return read_reset(value, &chosen.reset_entry, &chosen.reset_exit, &chosen.touch);
}

static const char *take_attempts(const char *value) {
  return read_count(value, &chosen.handshake.attempts);
}

static const char *take_attempt_time(const char *value) {
  const char *refused = read_duration(value, &chosen.handshake.attempt_ms);
  return refused == NULL && chosen.handshake.attempt_ms == 0 ? "it must be longer than 0" : refused;
}

static const char *take_wait_port(const char *value) {
  chosen.opening.waits = true;
  return read_duration(value, &chosen.opening.wait_ms);
}

static const char *take_reply_timeout(const char *value) {
  return read_duration(value, &chosen.reply_timeout_ms);
}

static const char *take_write_timeout(const char *value) {
  return read_duration(value, &chosen.opening.write_timeout_ms);
}

// The paths are only noted here; the files are made once the whole command
// line is taken.
static const char *take_trace(const char *value) {
  trace_to(value);
  return NULL;
}

static const char *take_report(const char *value) {
  report_to(value);
  return NULL;
}

static const char *take_progress(const char *value) {
  if (strcmp(value, "log") == 0)
    show_progress_as(PROGRESS_LOGGED);
  else if (strcmp(value, "off") == 0)
    show_progress_as(PROGRESS_OFF);
  else if (strcmp(value, "json") == 0)
    show_progress_as(PROGRESS_JSON);
  else if (strcmp(value, "draw") != 0)
    return "draw, log, json or off";
  return NULL;
}

static const char *take_station(const char *) {
  chosen.station = true;
  return NULL;
}

static const char *take_count(const char *value) {
  const char *refused = read_count(value, &chosen.station_asked.count);
  return refused == NULL && chosen.station_asked.count == 0 ? "it must be 1 or more" : refused;
}

struct option {
  const char *name;
  const char *variable; // the environment variable that gives it too, or none
  const char *(*take)(const char *value);
  bool flag;     // takes no value
  bool for_runs; // passed on to each board's run of a station
};

// A station's own options (--station, --count, and its records and view)
// are its own; the others apply to each board's run as given.
static const option OPTIONS[] = {
    {"--reset", "TARVICK_RESET", take_reset, false, true},
    {"--attempts", "TARVICK_ATTEMPTS", take_attempts, false, true},
    {"--attempt-time", "TARVICK_ATTEMPT_TIME", take_attempt_time, false, true},
    {"--wait-port", "TARVICK_WAIT_PORT", take_wait_port, false, true},
    {"--reply-timeout", "TARVICK_REPLY_TIMEOUT", take_reply_timeout, false, true},
    {"--write-timeout", "TARVICK_WRITE_TIMEOUT", take_write_timeout, false, true},
    {"--trace", "TARVICK_TRACE", take_trace, false, false},
    {"--report", "TARVICK_REPORT", take_report, false, false},
    {"--progress", "TARVICK_PROGRESS", take_progress, false, false},
    {"--station", NULL, take_station, true, false},
    {"--count", NULL, take_count, false, false},
};
static const size_t OPTION_COUNT = sizeof OPTIONS / sizeof OPTIONS[0];

// Gives what was given on one line, its line breaks escaped: a refusal is
// one line, whatever it names.
static std::string on_one_line(const char *given) {
  std::string line;
  for (; *given != '\0'; given++)
    line += *given == '\n' ? "\\n" : *given == '\r' ? "\\r" : std::string(1, *given);
  return line;
}

static void take(const option &wanted, const char *given, const char *value) {
  const char *refused =
      strpbrk(value, "\r\n") != NULL ? "a value may not hold a line break" : wanted.take(value);
  if (refused != NULL)
    report_and_exit(&OPTION_REFUSED, on_one_line(given).c_str(), refused);
}

static const option *option_named(const char *argument, size_t length) {
  for (const option &known : OPTIONS)
    if (strlen(known.name) == length && strncmp(known.name, argument, length) == 0)
      return &known;
  return NULL;
}

// What each option in effect was given as, and where, for the trace.
static std::string given_as[OPTION_COUNT];
static const char *given_in[OPTION_COUNT];

// "--name=value", one argument each.
static void take_argument(const char *argument) {
  const char *equals = strchr(argument, '=');
  size_t length = equals != NULL ? (size_t)(equals - argument) : strlen(argument);
  const option *wanted = option_named(argument, length);
  if (wanted == NULL)
    report_and_exit(&OPTION_REFUSED, on_one_line(argument).c_str(),
                    "no such option before the arguments (tarvick --help lists them)");
  if (wanted->flag && equals != NULL)
    report_and_exit(&OPTION_REFUSED, on_one_line(argument).c_str(), "it takes no value");
  if (!wanted->flag && equals == NULL)
    report_and_exit(&OPTION_REFUSED, argument, "a value is needed (--name=value)");
  take(*wanted, argument, wanted->flag ? "" : equals + 1);
  given_as[wanted - OPTIONS] = argument;
  given_in[wanted - OPTIONS] = "the command line";
  if (wanted->for_runs)
    chosen.station_asked.options.push_back(argument);
}

// An option anywhere after the port would otherwise be taken for the
// settings, the image or the programming file, or be ignored, its limit
// silently not kept. Other extra arguments are ignored, as ever.
static void refuse_late_options(int argc, char **argv, int from) {
  for (int at = from; at < argc; at++) {
    const char *equals = strchr(argv[at], '=');
    size_t length = equals != NULL ? (size_t)(equals - argv[at]) : strlen(argv[at]);
    if (option_named(argv[at], length) != NULL)
      report_and_exit(&OPTION_REFUSED, on_one_line(argv[at]).c_str(),
                      "options come before the port");
  }
}

// What the command line left unsaid, the environment may say.
static void take_variables() {
  for (size_t i = 0; i < OPTION_COUNT; i++) {
    const char *value = OPTIONS[i].variable != NULL ? getenv(OPTIONS[i].variable) : NULL;
    if (given_in[i] != NULL || value == NULL || *value == '\0')
      continue;
    given_as[i] = std::string(OPTIONS[i].variable) + "=" + value;
    given_in[i] = "the environment";
    take(OPTIONS[i], given_as[i].c_str(), value);
  }
}

static size_t option_index(const char *name) {
  return (size_t)(option_named(name, strlen(name)) - OPTIONS);
}

// A record must never go over another of the run's files: the image would
// be lost, or the port written to.
static void refuse_clashing_record(const char *path, const char *option, const char *other_record) {
  size_t which = option_index(option);
  if (path == NULL || (which == option_index("--trace") && strcmp(path, "-") == 0))
    return;
  const struct {
    const char *file, *what;
  } others[] = {{chosen.image, "that is the image"},
                {chosen.programming_file, "that is the programming file"},
                {chosen.port, "that is the port"},
                {other_record, "the trace and the report cannot be one file"}};
  for (const auto &other : others)
    if (other.file != NULL && same_file(path, other.file))
      report_and_exit(&OPTION_REFUSED, given_as[which].c_str(), other.what);
}

// Each record's place is judged before either is made: a run refused for
// one makes neither.
static void refuse_unusable_record(const char *path, const char *option, const char *what) {
  if (path == NULL)
    return;
  if (const char *refused = record_place_refused(path))
    report_and_exit(&OPTION_REFUSED, given_as[option_index(option)].c_str(),
                    (std::string(what) + " cannot be written there: " + refused).c_str());
}

static void start_record(const char *option, const char *(*start)(), const char *what) {
  if (const char *refused = start())
    report_and_exit(&OPTION_REFUSED, given_as[option_index(option)].c_str(),
                    (std::string(what) + " cannot be written there: " + refused).c_str());
}

// Starts the records with the options in effect and what the run is asked
// to do. Nothing is made before the whole command line is taken, so that a
// run refused for it touches no record.
static void start_records() {
  record_asked(chosen.port, chosen.settings, chosen.image, chosen.programming_file);
  refuse_unusable_record(trace_path(), "--trace", "the trace");
  refuse_unusable_record(report_path(), "--report", "the report");
  refuse_clashing_record(trace_path(), "--trace", NULL);
  refuse_clashing_record(report_path(), "--report", trace_path());
  start_record("--trace", start_trace, "the trace");
  start_record("--report", start_report, "the report");
  trace("tarvick %s", TARVICK_VERSION);
  for (size_t i = 0; i < OPTION_COUNT; i++)
    if (given_in[i] != NULL)
      trace("option %s, from %s", given_as[i].c_str(), given_in[i]);
}

// A station's records are a log and a folder of traces, kept by the
// station; its options are checked here, before any board is looked for.
static void ask_for_a_station() {
  if (!chosen.station) {
    if (given_in[option_index("--count")] != NULL)
      report_and_exit(&OPTION_REFUSED, given_as[option_index("--count")].c_str(),
                      "only with --station");
    return;
  }
  refuse_clashing_record(trace_path(), "--trace", NULL);
  refuse_clashing_record(report_path(), "--report", trace_path());
  station_setup &station = chosen.station_asked;
  station.ports = chosen.port;
  station.settings = chosen.settings;
  station.image = chosen.image;
  station.programming_file = chosen.programming_file;
  station.log = report_path();
  station.log_given = given_as[option_index("--report")];
  station.trace_folder = trace_path();
  station.trace_given = given_as[option_index("--trace")];
}

const run_options &read_command_line(int argc, char **argv) {
  // A single argument is a question, or no command at all.
  if (argc == 2) {
    answer_single_argument(argv[1]);
    report_and_exit(&USAGE);
  }
  chosen = run_options{};
  chosen.handshake = DEFAULT_HANDSHAKE;
  int at = 1;
  for (; at < argc && strncmp(argv[at], "--", 2) == 0; at++) {
    if (strcmp(argv[at], "--") == 0) {
      at++;
      break;
    }
    take_argument(argv[at]);
  }
  take_variables();
  if (argc - at < 3)
    report_and_exit(&USAGE);
  chosen.port = argv[at];
  chosen.settings = argv[at + 1];
  chosen.image = argv[at + 2];
  chosen.programming_file = argc - at > 3 ? argv[at + 3] : NULL;
  refuse_late_options(argc, argv, at + 1);
  ask_for_a_station();
  if (chosen.station)
    return chosen;
  chosen.wanted = read_port(chosen.port);
  chosen.opening.drives_dtr = drives_dtr(chosen.reset_entry) || drives_dtr(chosen.reset_exit);
  chosen.opening.drives_rts = drives_rts(chosen.reset_entry) || drives_rts(chosen.reset_exit);
  chosen.handshake.entry = chosen.reset_entry.count > 0 ? &chosen.reset_entry : NULL;
  start_records();
  prepare_drawing();
  if (progress_shown_as() == PROGRESS_JSON)
    start_progress_json();
  return chosen;
}
