// The end-to-end harness: runs the real tarvick (natively, or tarvick.exe
// under Wine) as a child process against a simulated target.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "simulated_target.h"
#include <tty_settings.h>

namespace e2e {

enum class platform { native, wine };

struct program_run {
  int status = -1; // exit status, or -1 when ended by a signal
  int signal = 0;  // the signal that ended it
  std::string out;
  std::string err;
  double seconds = 0;
  bool timed_out = false;
};

// A pseudo-terminal as a run's standard error (raw: what is read is what
// the program wrote), `columns` wide, with "stty tostop" set. Where it is
// `controlling`, the run starts a session with it as its controlling
// terminal, so that a shell there can put a program in the background.
struct error_terminal {
  int columns = 80;
  bool controlling = false;
  bool flow_control = false; // IXON: Ctrl-S stops output to it, Ctrl-Q lets it go on
  bool output_too = false;   // standard output goes there too, and is read as the error
  // A person at the terminal while the run goes on, typing into its master.
  std::function<void(int master)> person;
};

// Runs `program` with `args` in `directory` and collects its output; stops it
// with `stop_signal` after `timeout_seconds`; its standard error is `terminal`
// where given, else a pipe.
program_run run_program(const std::string &program, const std::vector<std::string> &args,
                        const std::string &directory, double timeout_seconds,
                        const std::vector<std::string> &environment = {}, int stop_signal = SIGKILL,
                        const error_terminal *terminal = nullptr);

// A program run in the background, as a station runs: what it prints is
// read as it comes, so that a test can wait for a text and signal the
// program meanwhile.
class background_run {
public:
  background_run(const std::string &program, const std::vector<std::string> &args,
                 const std::string &directory, const std::vector<std::string> &environment);
  ~background_run();
  // Waits up to `seconds` for `text` to have come `times` times on
  // standard error (standard output where `in_output`).
  bool wait_for(const std::string &text, int times = 1, double seconds = 20,
                bool in_output = false);
  void signal(int signal_number);
  // Waits for the end (SIGKILL after `seconds`) and gives the whole run.
  program_run finish(double seconds = 20);

private:
  void read_until_closed(int out, int err);
  bool take(int fd, bool output);
  pid_t pid_ = -1;
  int ended_[2] = {-1, -1}; // told to the reader once the program has ended
  std::thread reader_;
  std::mutex lock_;
  std::condition_variable came_;
  program_run run_;
  std::chrono::steady_clock::time_point started_;
};

// What a terminal `columns` wide shows after `drawn`: text that reaches the
// margin wraps to a new row (on the next character, as xterm does), a
// carriage return goes back to the start of the row the cursor is on, the
// cursor moves up (ESC [ n A), a row or the screen below is cleared (ESC [
// K, ESC [ J), and later text overwrites earlier text. No margin where
// `columns` is 0.
std::vector<std::string> screen_of(const std::string &drawn, size_t columns = 0);
// Everything ever drawn, without the console's escape sequences.
std::string drawn_text(const std::string &drawn);
// The final screen as one text, its lines joined: long lines that a console
// wrapped read whole again.
std::string screen_text(const std::string &drawn);

// A Windows name (COMn, or \\.\COMn from COM10 on) for a pseudo-terminal,
// as a symbolic link in Wine's dosdevices; removed when it goes.
class wine_port {
public:
  wine_port(const std::string &device, int lowest_number);
  ~wine_port();
  const std::string &name() const { return name_; }

private:
  std::string link_;
  std::string name_;
};

const char DEFAULT_SETTINGS[] = "baud=115200 parity=N data=8 stop=1";

// What a load did: the program's run, what the target received, and the
// port's settings as the program left them.
struct load_result {
  std::string port; // as given to the program
  program_run run;
  testbed::target_record target;
  tty_settings settings = {};
};

// A target that takes an image of `length` bytes and otherwise behaves well.
inline testbed::target_script expecting_image(uint64_t length) {
  testbed::target_script script;
  script.image_length = length;
  return script;
}

// One test's files and runs, on one platform.
class LoadTest : public testing::TestWithParam<platform> {
protected:
  void SetUp() override;
  void TearDown() override;

  bool on_wine() const { return GetParam() == platform::wine; }
  // Writes a file in the test's own directory; returns its name there.
  std::string write_file(const std::string &name, const std::string &content);
  std::string path_of(const std::string &name) const { return directory_ + "/" + name; }
  std::string read_file(const std::string &name) const;
  // A run's report (--report), parsed: null where there is none.
  nlohmann::json report(const std::string &name) const;
  // The name under which the program opens the target's port.
  std::string port_name(const testbed::simulated_target &target, int lowest_com = 3);
  // Runs the program, with its arguments as given, in the test's directory.
  program_run run(const std::vector<std::string> &args, double timeout_seconds = 60,
                  int stop_signal = SIGKILL);
  // Runs the native program through bash: `script` names it "$0" "$@", so
  // that a test can close its descriptors or pipe its output.
  program_run run_in_shell(const std::string &script, const std::vector<std::string> &args,
                           double timeout_seconds = 60, int stop_signal = SIGKILL);
  // Starts the program in the background, in the test's directory.
  std::unique_ptr<background_run> start(const std::vector<std::string> &args);
  // Runs the program while another program holds `file` open for writing.
  program_run run_holding(const std::string &file, const std::vector<std::string> &args);
  // Runs the program against a target playing `script`, with the port and
  // `settings` as its first arguments and then `files`.
  load_result load(const testbed::target_script &script, const std::vector<std::string> &files,
                   const std::string &settings = DEFAULT_SETTINGS, double timeout_seconds = 60);
  // Checks a completed run: status 0, exactly `output`, nothing on stderr.
  void expect_success(const program_run &run, const std::string &output) const;
  // Checks a failed run: status 2, exactly `output`, nothing on stderr.
  void expect_failure(const program_run &run, const std::string &output) const;
  // The program's text output on this platform (CR LF line ends on Windows).
  std::string text(const std::string &lines) const;
  // Which error code a failure shows: POSIX errno natively, else Windows'.
  unsigned code(unsigned posix, unsigned windows) const { return on_wine() ? windows : posix; }

  std::string directory_;
  std::vector<std::unique_ptr<wine_port>> ports_;
  std::vector<std::string> options_;     // before the port in a load's arguments
  std::vector<std::string> environment_; // added to the runs' environment
  bool error_on_terminal_ = false;       // the runs' standard error is a pseudo-terminal
  error_terminal terminal_;              // which, when it is
};

std::string platform_name(const testing::TestParamInfo<platform> &info);
inline void PrintTo(platform on, std::ostream *out) {
  *out << (on == platform::wine ? "Wine" : "Native");
}

// The native program, and tarvick.exe under Wine where this build makes it.
std::vector<platform> tested_platforms();

// Both platforms. Where tarvick.exe is built but Wine is missing, its cases
// are skipped, or fail where the Windows program must be tested.
#define ON_BOTH_PLATFORMS(suite)                                                                   \
  INSTANTIATE_TEST_SUITE_P(, suite, testing::ValuesIn(e2e::tested_platforms()), e2e::platform_name)

// Natively only, for what Wine does not emulate as Windows behaves.
#define NATIVE_ONLY(suite)                                                                         \
  INSTANTIATE_TEST_SUITE_P(, suite, testing::Values(e2e::platform::native), e2e::platform_name)

} // namespace e2e
