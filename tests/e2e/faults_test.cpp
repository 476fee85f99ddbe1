// A line or a target that misbehaves: every failure ends quickly with its
// message and status 2, never a hang, never a crash.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include <fstream>
#include <iterator>
#include <sstream>

#include "harness.h"

using namespace e2e;
using testbed::target_script;

static const size_t IMAGE_SIZE = 4 << 20;
#ifdef __SANITIZE_ADDRESS__
static const bool SANITIZED = true; // each run takes several times as long
#else
static const bool SANITIZED = false;
#endif

class Faults : public LoadTest {};
// Wine never returns from a read without time-out on a line that hung up,
// has no job control, and runs no shell around the program.
class NativeFaults : public LoadTest {};

TEST_P(Faults, AHangUpDuringTheUploadEndsTheRunAtOnce) {
  write_file("image.bin", std::string(IMAGE_SIZE, 'i'));
  target_script script = expecting_image(IMAGE_SIZE);
  script.hang_up_after_image_bytes = 100000;
  script.keep_image = false;
  load_result load_run = load(script, {"image.bin"});
  EXPECT_EQ(2, load_run.run.status);
  if (on_wine())
    EXPECT_THAT(load_run.run.out, testing::MatchesRegex("fail to write to .* : [0-9]+\r\n"));
  else
    EXPECT_EQ("fail to write to " + load_run.port + " : " + std::to_string(EIO) + "\n",
              load_run.run.out);
  EXPECT_EQ("", load_run.run.err);
  EXPECT_LT(load_run.run.seconds, 3.0);
  EXPECT_TRUE(load_run.target.hung_up);
}

// A target that stops reading ends the run once nothing has left the port
// for --write-timeout, with the platform's time-out code.
TEST_P(Faults, AStalledTargetEndsTheRunUnderAWriteTimeout) {
  write_file("image.bin", std::string(IMAGE_SIZE, 'w'));
  target_script stalled = expecting_image(IMAGE_SIZE);
  stalled.stop_reading_after_image_bytes = 1000;
  stalled.keep_image = false;
  options_ = {"--write-timeout=500ms"};
  load_result load_run = load(stalled, {"image.bin"});
  expect_failure(load_run.run, "fail to write to " + load_run.port + " : " +
                                   std::to_string(code(ETIMEDOUT, 1460)) + "\n");
  EXPECT_LT(load_run.run.seconds, 5.0);
}

TEST_P(Faults, AFloodOfGarbageFailsTheHandshakeQuickly) {
  write_file("image.bin", "x");
  target_script script = expecting_image(1);
  script.flood_bytes = 1 << 20;
  script.sync_replies.assign(5, testbed::SILENT); // the garbage is all it sends
  load_result load_run = load(script, {"image.bin"});
  expect_failure(load_run.run, "synchronization failed\n");
  EXPECT_EQ(5, load_run.target.sync_requests);
  EXPECT_LT(load_run.run.seconds, 5.0);
}

// An adapter that is unplugged takes its device name with it, as udev
// removes /dev/serial/by-id links (and Windows its COM name). The COM number
// comes from a range of its own: the other cases, running alongside, take
// the lowest free one and would take this one as soon as it is gone.
static const int GONE_PORT_COM = 240;

TEST_P(Faults, APortThatWentAwayIsReportedAtOpening) {
  write_file("image.bin", "");
  std::string port;
  {
    testbed::simulated_target target(target_script{});
    target.start();
    port = port_name(target, GONE_PORT_COM);
    if (!on_wine()) {
      ASSERT_EQ(0, symlink(target.port_path().c_str(), path_of("adapter").c_str()));
      port = "adapter";
    }
    expect_success(run({port, DEFAULT_SETTINGS, "image.bin"}), "program loaded, 0 bytes\n");
  }
  ports_.clear();
  unlink(path_of("adapter").c_str());
  expect_failure(run({port, DEFAULT_SETTINGS, "image.bin"}),
                 "fail to open " + port + " : " + std::to_string(ENOENT) + "\n");
}

// A system file claims a whole page as its size but holds a few bytes: as
// an image that shrank after its size was taken, only what was read is sent.
TEST_P(Faults, AnImageShorterThanItsSizeSendsWhatWasRead) {
  const char *path = "/sys/class/tty/ptmx/dev";
  std::ifstream file(path);
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(content.empty());
  load_result load_run = load(expecting_image(content.size()), {path});
  expect_success(load_run.run, "program loaded, " + std::to_string(content.size()) + " bytes\n");
  EXPECT_EQ(content, load_run.target.image);
}

// At a terminal a failure is explained: the failure again where standard
// output goes elsewhere (so that "error 2" is about something), what the
// code means, what to do.
TEST_P(Faults, FailuresAreExplainedAtATerminal) {
  error_on_terminal_ = true;
  write_file("image.bin", "x");
  std::string missing_port = on_wine() ? "COM254" : "/dev/tarvick-no-such-port";
  program_run no_port = run({missing_port, DEFAULT_SETTINGS, "image.bin"});
  expect_failure(no_port, "fail to open " + missing_port + " : 2\n");
  EXPECT_EQ("fail to open " + missing_port + " : 2", screen_of(no_port.err)[0]);
  EXPECT_THAT(screen_text(no_port.err), testing::HasSubstr("error 2: "));
  EXPECT_THAT(screen_text(no_port.err), testing::HasSubstr("tarvick --list"));
  struct {
    const char *settings;
    target_script script;
    const char *file;
    const char *hint;
  } cases[] = {{"baud=9600 parity=no", target_script{}, "image.bin", "96,N,8,1"},
               {DEFAULT_SETTINGS, expecting_image(1), "missing.bin", "No such file"},
               {DEFAULT_SETTINGS, target_script{}, "image.bin", "boot loader"},
               {DEFAULT_SETTINGS, expecting_image(1), "big.bin", "smaller than 4 GiB"}};
  cases[2].script.sync_replies.assign(5, '?');
  ASSERT_EQ(0, truncate(path_of(write_file("big.bin", "")).c_str(), 1ll << 32));
  for (const auto &failure : cases) {
    SCOPED_TRACE(failure.hint);
    load_result load_run = load(failure.script, {failure.file}, failure.settings);
    EXPECT_EQ(2, load_run.run.status);
    EXPECT_THAT(screen_text(load_run.run.err), testing::HasSubstr(failure.hint));
  }
}

// Permission denied: joining a group helps only where the group may use
// the device, and the hint says which it is.
TEST_P(NativeFaults, APortThatMayNotBeUsedNamesItsOwnerAndGroup) {
  error_on_terminal_ = true;
  write_file("image.bin", "x");
  // Waiting for a port, a refusal is taken for a node udev has not handed
  // over yet, for 2 s.
  struct {
    mode_t mode;
    const char *hint, *wait;
  } cases[] = {{0600, "belongs to root:root (mode 600): no group may use it", "--wait-port=0"},
               {0660, "belongs to root:root (mode 660): join the group root", "--"}};
  for (const auto &denied : cases) {
    SCOPED_TRACE(denied.hint);
    testbed::simulated_target target(expecting_image(1));
    ASSERT_EQ(0, chown(target.port_path().c_str(), 0, 0));
    ASSERT_EQ(0, chmod(target.port_path().c_str(), denied.mode));
    program_run result =
        run_in_shell("exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" \"$@\"",
                     {denied.wait, target.port_path(), DEFAULT_SETTINGS, "image.bin"});
    EXPECT_EQ("fail to open " + target.port_path() + " : 13\n", result.out);
    EXPECT_NEAR(denied.wait[2] == '\0' ? 0 : 2, result.seconds, 1);
    EXPECT_THAT(screen_text(result.err),
                testing::HasSubstr(target.port_path() + " " + denied.hint));
  }
}

// What --version, --help and --list print is their whole answer: output
// that cannot be written is a failure, said on standard error.
TEST_P(NativeFaults, AnAnswerThatCannotBeWrittenIsAFailure) {
  struct {
    const char *argument;
    const char *redirection;
  } cases[] = {{"--version", ">/dev/full"},
               {"--help", ">/dev/full"},
               {"--list", ">&-"},
               {"--version", ">&-"}};
  for (const auto &lost : cases) {
    SCOPED_TRACE(std::string(lost.argument) + " " + lost.redirection);
    program_run result =
        run_in_shell("exec \"$0\" \"$@\" " + std::string(lost.redirection), {lost.argument});
    EXPECT_EQ(2, result.status);
    EXPECT_THAT(result.err, testing::StartsWith("tarvick: write error: "));
  }
}

// A run in the background of a terminal with "stty tostop" draws nothing
// (drawing would stop it, holding the port half loaded) and goes on.
TEST_P(NativeFaults, ARunInTheBackgroundDrawsNothing) {
  error_on_terminal_ = true;
  terminal_.controlling = true;
  const size_t SIZE = 100 * 1024;
  write_file("image.bin", std::string(SIZE, 'b'));
  target_script slow = expecting_image(SIZE);
  slow.bytes_per_second = 200 * 1024;
  slow.sync_replies = {testbed::SILENT};
  testbed::simulated_target target(slow);
  target.start();
  // The shell's own job messages go elsewhere.
  program_run result = run_in_shell("exec 3>&2 2>/dev/null; set -m; \"$0\" \"$@\" 2>&3 & wait $!",
                                    {target.port_path(), DEFAULT_SETTINGS, "image.bin"}, 10);
  expect_success(result, "program loaded, 102400 bytes\n");
  EXPECT_EQ("", result.err);
  EXPECT_EQ(SIZE, target.finish().image_bytes);
}

// A failing upload with both records, run after run: however far the
// image's hash has come when the run ends, it ends with status 2 and a
// report whose counts are true.
TEST_P(Faults, AFailingUploadLeavesATrueRecordEveryTime) {
  const size_t SIZE = 1 << 20;
  write_file("image.bin", std::string(SIZE, 'f'));
  options_ = {"--trace=trace.txt", "--report=report.json"};
  for (int i = 0; i < (on_wine() ? 10 : SANITIZED ? 60 : 300); i++) {
    target_script script = expecting_image(SIZE);
    script.hang_up_after_image_bytes = 1 + i % 16 * 512;
    script.keep_image = false;
    load_result failed = load(script, {"image.bin"});
    ASSERT_EQ(2, failed.run.status) << "run " << i << ", signal " << failed.run.signal;
    nlohmann::json record = report("report.json");
    ASSERT_FALSE(record.is_discarded()) << "run " << i;
    EXPECT_EQ("failed", record["outcome"]);
    EXPECT_EQ(SIZE, record["image"]["size"]);
    EXPECT_GE(record["bytes_sent"], failed.target.image_bytes);
    EXPECT_LT(record["bytes_sent"], SIZE);
  }
}

// A run killed on its way leaves a report that says it was running, never
// an earlier run's success.
TEST_P(Faults, AKilledRunLeavesNoEarlierSuccess) {
  write_file("image.bin", "x");
  write_file("report.json", "{\"outcome\":\"loaded\",\"exit_status\":0}\n");
  target_script silent;
  silent.sync_replies.assign(5, testbed::SILENT);
  options_ = {"--report=report.json"};
  load_result killed = load(silent, {"image.bin"}, DEFAULT_SETTINGS, 2.5);
  EXPECT_EQ(SIGKILL, killed.run.signal);
  nlohmann::json record = report("report.json");
  EXPECT_EQ("running", record["outcome"]);
  EXPECT_EQ(killed.port, record["port"]);
  EXPECT_EQ("image.bin", record["image"]["path"]);
}

// The files of the test's folder but the given ones: a temporary left
// behind shows here.
static std::vector<std::string> other_files(const std::string &directory,
                                            const std::vector<std::string> &known) {
  std::vector<std::string> files;
  for (const auto &entry : std::filesystem::directory_iterator(directory))
    if (std::find(known.begin(), known.end(), entry.path().filename()) == known.end())
      files.push_back(entry.path().filename());
  return files;
}

// Two SIGQUITs 0.2 to 5 ms apart during an upload end the run as stopped:
// by SIGQUIT natively, never with status 0 under Wine, which ends a thread
// for each; its report whole, and no temporary left behind.
TEST_P(Faults, TwoQuitsInARowEndTheRunAsStopped) {
  write_file("image.bin", std::string(100 * 1024, 'q'));
  target_script slow = expecting_image(100 * 1024);
  slow.bytes_per_second = 20 * 1024;
  for (int gap_us : {200, 1000, 5000}) {
    SCOPED_TRACE(gap_us);
    testbed::simulated_target target(slow);
    std::shared_future<void> answered = target.first_event("answered");
    target.start();
    auto running =
        start({"--report=report.json", port_name(target), DEFAULT_SETTINGS, "image.bin"});
    ASSERT_EQ(std::future_status::ready, answered.wait_for(std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the upload under way
    running->signal(SIGQUIT);
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
    running->signal(SIGQUIT);
    program_run ended = running->finish();
    if (on_wine())
      EXPECT_EQ(58, ended.status) << "STATUS_CONTROL_C_EXIT";
    else
      EXPECT_EQ(SIGQUIT, ended.signal);
    EXPECT_EQ("stopped", report("report.json")["outcome"]);
    EXPECT_EQ("SIGQUIT", report("report.json")["stopped_by"]);
    EXPECT_EQ(std::vector<std::string>{}, other_files(directory_, {"image.bin", "report.json"}));
    ports_.clear();
  }
}

// Runs that share a report's path (a rig-wide TARVICK_REPORT), ending
// together, each leave a whole report in turn, and no temporary file.
TEST_P(Faults, RunsOnOneReportLeaveOneWholeReport) {
  write_file("image.bin", "s");
  const size_t RUNS = on_wine() ? 4 : 16;
  std::vector<std::unique_ptr<testbed::simulated_target>> targets;
  std::vector<std::string> ports;
  for (size_t i = 0; i < RUNS; i++) {
    targets.push_back(std::make_unique<testbed::simulated_target>(expecting_image(1)));
    targets.back()->start();
    ports.push_back(port_name(*targets.back()));
  }
  std::vector<program_run> runs(RUNS);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < RUNS; i++)
    threads.emplace_back([&, i] {
      runs[i] = run({"--report=shared.json", ports[i], "96,N,8,1", "image.bin"});
    });
  for (std::thread &thread : threads)
    thread.join();
  for (const program_run &each : runs)
    expect_success(each, "program loaded, 1 bytes\n");
  EXPECT_EQ("loaded", report("shared.json")["outcome"]);
  std::vector<std::string> files;
  for (const auto &entry : std::filesystem::directory_iterator(directory_))
    files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ((std::vector<std::string>{"image.bin", "shared.json"}), files);
}

struct record_case {
  const char *options;
  const char *refused; // the line a refused run prints, else null
};

// A record never goes over another of the run's files, nor into a folder:
// refused before the port is touched, each naming its option.
TEST_P(Faults, ARecordThatWouldDestroyAFileIsRefused) {
  write_file("image.bin", "image");
  write_file("lines.txt", "one\n");
  ASSERT_EQ(0, mkdir(path_of("folder").c_str(), 0755));
  const record_case cases[] = {
      {"--trace=image.bin", "--trace=image.bin: that is the image\n"},
      {"--report=lines.txt", "--report=lines.txt: that is the programming file\n"},
      {"--trace=same.txt --report=same.txt",
       "--report=same.txt: the trace and the report cannot be one file\n"},
      {"--report=folder",
       "--report=folder: the report cannot be written there: that is a folder\n"},
  };
  for (const record_case &row : cases) {
    SCOPED_TRACE(row.options);
    std::istringstream words(row.options);
    options_.assign(std::istream_iterator<std::string>(words), {});
    load_result refused = load(expecting_image(5), {"image.bin", "lines.txt"});
    expect_failure(refused.run, row.refused);
    EXPECT_EQ("", refused.target.received);
    EXPECT_EQ("image", read_file("image.bin"));
    EXPECT_EQ("one\n", read_file("lines.txt"));
    EXPECT_FALSE(std::filesystem::exists(path_of("same.txt")));
  }
}

// A report that cannot be written when the run ends (its folder gone)
// interrupts no load: standard output is the load's, the status 2, and
// one line says which record was lost.
TEST_P(Faults, AReportThatCannotBeWrittenAtTheEndFailsTheRun) {
  write_file("image.bin", "x");
  ASSERT_EQ(0, mkdir(path_of("out").c_str(), 0755));
  target_script late = expecting_image(1);
  late.sync_replies = {testbed::SILENT};
  testbed::simulated_target target(late);
  std::promise<void> asked;
  std::once_flag once;
  target.on_event([&](const std::string &) { std::call_once(once, [&] { asked.set_value(); }); });
  target.start();
  std::thread remove([&] {
    asked.get_future().wait_for(std::chrono::seconds(10));
    std::filesystem::remove_all(path_of("out"));
  });
  program_run lost =
      run({"--report=out/report.json", port_name(target), DEFAULT_SETTINGS, "image.bin"});
  remove.join();
  EXPECT_EQ(2, lost.status);
  EXPECT_EQ(text("program loaded, 1 bytes\n"), lost.out);
  EXPECT_THAT(lost.err, testing::MatchesRegex("tarvick: the report could not be written to "
                                              "out/report.json: [^\n]+\r?\n"));
}

ON_BOTH_PLATFORMS(Faults);

TEST_P(NativeFaults, AHangUpDuringLineProgrammingIsNoTimeOut) {
  write_file("image.bin", "I");
  write_file("lines.txt", "one\ntwo\nthree\n");
  target_script script = expecting_image(1);
  script.hang_up_after_lines = 2;
  load_result load_run = load(script, {"image.bin", "lines.txt"});
  // The line may go while the second line is still being sent, or while its
  // reply is awaited.
  EXPECT_EQ(2, load_run.run.status);
  EXPECT_THAT(load_run.run.out,
              testing::MatchesRegex("program loaded, 1 bytes\n#fail to (write to|read from) " +
                                    load_run.port + " : " + std::to_string(EIO) + "\n"));
  EXPECT_EQ("", load_run.run.err);
  EXPECT_LT(load_run.run.seconds, 3.0);
}

// A descriptor the caller closed must not become the port: what is meant
// for standard output (or, on a terminal, standard error) would go down the
// line as if it were programming lines.
TEST_P(NativeFaults, ClosedStandardStreamsAreNeverThePort) {
  write_file("image.bin", "I");
  write_file("lines.txt", "one\ntwo\n");
  const std::string output =
      "program loaded, 1 bytes\n##\nprogramming complete, 0 nack received.\n";
  for (int fd : {0, 1, 2}) {
    SCOPED_TRACE(fd);
    testbed::simulated_target target(expecting_image(1));
    target.start();
    program_run result =
        run_in_shell("exec \"$0\" \"$@\" " + std::to_string(fd) + ">&-",
                     {target.port_path(), DEFAULT_SETTINGS, "image.bin", "lines.txt"});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(fd == 1 ? "" : output, result.out);
    testbed::target_record record = target.finish();
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), record.lines);
    EXPECT_EQ("\xAAIone\ntwo\n", record.received);
  }
  testbed::simulated_target target(expecting_image(1));
  target.start();
  program_run no_lines = run_in_shell(
      "exec \"$0\" \"$@\" 0>&-", {target.port_path(), DEFAULT_SETTINGS, "image.bin", "/dev/stdin"});
  EXPECT_EQ("program loaded, 1 bytes\nfail to open /dev/stdin : " + std::to_string(ENXIO) + "\n",
            no_lines.out)
      << "a closed standard input is no file of lines";
}

// tarvick ... | head: the load goes on to its end, as on Windows, and the
// status still tells how it went.
TEST_P(NativeFaults, AReaderThatGoesAwayDoesNotStopTheLoad) {
  write_file("image.bin", "I");
  std::string text;
  for (int i = 0; i < 300; i++)
    text += "line " + std::to_string(i) + "\n";
  write_file("lines.txt", text);
  testbed::simulated_target target(expecting_image(1));
  target.start();
  program_run result =
      run_in_shell("\"$0\" \"$@\" | head -c 40; exit ${PIPESTATUS[0]}",
                   {target.port_path(), DEFAULT_SETTINGS, "image.bin", "lines.txt"});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ("program loaded, 1 bytes\n" + std::string(16, '#'), result.out);
  EXPECT_EQ(300u, target.finish().lines.size());
}

// A run stopped while it waits for the first reply, which has no time limit,
// still leaves the load line in its log. (Two seconds are ample to get there,
// even on a busy machine.)
TEST_P(NativeFaults, TheLoadLineReachesALogAtOnce) {
  write_file("image.bin", "I");
  write_file("lines.txt", "one\n");
  target_script script = expecting_image(1);
  script.silent_from_line = 1;
  testbed::simulated_target target(script);
  target.start();
  program_run result =
      run_in_shell("exec \"$0\" \"$@\" >log.txt",
                   {target.port_path(), DEFAULT_SETTINGS, "image.bin", "lines.txt"}, 2.0, SIGTERM);
  EXPECT_EQ(SIGTERM, result.signal);
  std::ifstream log(path_of("log.txt"));
  EXPECT_EQ("program loaded, 1 bytes\n",
            std::string(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()));
}

// An image with no size to take (a FIFO, a pipe, a device) is refused
// rather than sent as 0 bytes with success.
TEST_P(NativeFaults, AnImageThatIsNoRegularFileIsRefused) {
  ASSERT_EQ(0, mkfifo(path_of("image.fifo").c_str(), 0644));
  struct {
    const char *image;
    const char *script;
  } cases[] = {{"image.fifo", "exec \"$0\" \"$@\""},
               {"/dev/zero", "exec \"$0\" \"$@\""},
               {"/dev/stdin", "printf abc | \"$0\" \"$@\""}};
  for (const auto &image : cases) {
    SCOPED_TRACE(image.image);
    testbed::simulated_target target(expecting_image(3));
    target.start();
    program_run result =
        run_in_shell(image.script, {target.port_path(), DEFAULT_SETTINGS, image.image});
    expect_failure(result, "fail to get file information " + std::string(image.image) + " : " +
                               std::to_string(ESPIPE) + "\n");
    EXPECT_EQ("\xAA", target.finish().received);
  }
}

// Lines a generator has written go out at once, though it keeps the pipe
// open; and a generator that starts late is waited for, with a line that
// says so at a terminal. The writer here opens the FIFO a while after the
// image has gone, and waits for the target to have both lines before it ends.
TEST_P(NativeFaults, LinesFromAPipeGoOutAsTheyCome) {
  error_on_terminal_ = true;
  write_file("image.bin", "I");
  ASSERT_EQ(0, mkfifo(path_of("lines.fifo").c_str(), 0644));
  signal(SIGPIPE, SIG_IGN); // a reader that went away is the failure shown
  std::mutex mutex;
  std::condition_variable arrived;
  bool image = false, second_line = false;
  testbed::simulated_target target(expecting_image(1));
  target.on_event([&](const std::string &event) {
    std::lock_guard<std::mutex> lock(mutex);
    image = image || event.rfind("image complete", 0) == 0;
    second_line = second_line || event.rfind("line 2 ", 0) == 0;
    arrived.notify_all();
  });
  target.start();
  bool sent_while_open = false;
  std::thread generator([&] {
    {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait_for(lock, std::chrono::seconds(5), [&] { return image; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the generator starts late
    int writer = open(path_of("lines.fifo").c_str(), O_WRONLY | O_CLOEXEC);
    if (write(writer, "one\ntwo\n", 8) == 8) {
      std::unique_lock<std::mutex> lock(mutex);
      sent_while_open =
          arrived.wait_for(lock, std::chrono::seconds(5), [&] { return second_line; });
    }
    close(writer);
  });
  program_run result = run({target.port_path(), DEFAULT_SETTINGS, "image.bin", "lines.fifo"});
  // A writer still waiting for a reader that came and went is let go.
  int unblock = open(path_of("lines.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  generator.join();
  close(unblock);
  EXPECT_TRUE(sent_while_open);
  expect_success(result, "program loaded, 1 bytes\n##\nprogramming complete, 0 nack received.\n");
  EXPECT_THAT(drawn_text(result.err), testing::HasSubstr("waiting for lines.fifo to be written"));
}

// Where a report goes as the system finds it: a link planted at a name a
// temporary file might take is never written through, a report that is a
// link replaces the file it points to and the link stays, a FIFO gets one
// whole report in one write (or, with no reader, the run is refused), and
// a device that cannot take it fails the run after the load.
TEST_P(NativeFaults, AReportGoesWhereTheSystemFindsItsFile) {
  write_file("image.bin", "x");
  write_file("victim.txt", "precious");
  ASSERT_EQ(0, mkdir(path_of("real").c_str(), 0755));
  for (const char *planted : {"report.json.tmp", ".report.json.tmp", "real/report.json.tmp"})
    ASSERT_EQ(0, symlink(path_of("victim.txt").c_str(), path_of(planted).c_str()));
  write_file("real/report.json", "{}");
  ASSERT_EQ(0, symlink("real/report.json", path_of("linked.json").c_str()));
  ASSERT_EQ(0, mkfifo(path_of("report.fifo").c_str(), 0644));
  std::string fifo_read;
  std::thread reader([&] { // until a writer has come and gone, 10 s at the most
    int fifo = open(path_of("report.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    char buffer[4096];
    pollfd readable = {fifo, POLLIN, 0};
    for (ssize_t got = 0; poll(&readable, 1, 10000) > 0 && (got = read(fifo, buffer, 4096)) != 0;)
      fifo_read.append(buffer, got > 0 ? (size_t)got : 0);
    close(fifo);
  });
  for (const char *report : {"report.json", "linked.json", "report.fifo"}) {
    SCOPED_TRACE(report);
    options_ = {std::string("--report=") + report};
    expect_success(load(expecting_image(1), {"image.bin"}).run, "program loaded, 1 bytes\n");
  }
  reader.join();
  EXPECT_EQ("precious", read_file("victim.txt"));
  EXPECT_EQ("loaded", report("report.json")["outcome"]);
  EXPECT_TRUE(std::filesystem::is_symlink(path_of("linked.json")));
  EXPECT_EQ("loaded", report("real/report.json")["outcome"]);
  EXPECT_EQ(1, std::count(fifo_read.begin(), fifo_read.end(), '\n')) << fifo_read;
  EXPECT_EQ("loaded", nlohmann::json::parse(fifo_read, nullptr, false)["outcome"]);
  // A link that open() would not follow to a file is refused before either
  // record is made: one into nothing (the trace's file, which would be there
  // by then were the trace made first), a loop.
  ASSERT_EQ(0, symlink("trace.txt", path_of("dangling.json").c_str()));
  ASSERT_EQ(0, symlink("loop.txt", path_of("loop.txt").c_str()));
  for (const char *refusal : {"--report=dangling.json: the report cannot be written there: a link "
                              "that leads nowhere\n",
                              "--trace=loop.txt: the trace cannot be written there: a loop of "
                              "links\n"}) {
    std::string option = std::string(refusal).substr(0, std::string(refusal).find(':'));
    options_ = {"--trace=trace.txt", option};
    expect_failure(load(expecting_image(1), {"image.bin"}).run, refusal);
    EXPECT_FALSE(std::filesystem::exists(path_of("trace.txt")));
  }
  options_ = {"--report=report.fifo"};
  load_result no_reader = load(expecting_image(1), {"image.bin"});
  expect_failure(no_reader.run, "--report=report.fifo: the report cannot be written there: a "
                                "FIFO with no reader\n");
  EXPECT_EQ("", no_reader.target.received);
  // A record that cannot be written fails the run; a lost trace is named in
  // the report, which states the status the run ends with.
  for (const char *record : {"report", "trace"}) {
    options_ = {std::string("--") + record + "=/dev/full", "--report=after.json"};
    if (record == std::string("report"))
      options_.pop_back();
    load_result full = load(expecting_image(1), {"image.bin"});
    EXPECT_EQ(2, full.run.status);
    EXPECT_EQ("program loaded, 1 bytes\n", full.run.out);
    EXPECT_EQ(std::string("tarvick: the ") + record +
                  " could not be written to /dev/full: No space left on device\n",
              full.run.err);
  }
  EXPECT_EQ(2, report("after.json")["exit_status"]);
  EXPECT_EQ("loaded", report("after.json")["outcome"]) << "the board was loaded";
  EXPECT_EQ("the trace could not be written to /dev/full: No space left on device",
            report("after.json")["record_error"]);
}

// Names in no encoding the record knows (bytes that are not UTF-8) never
// end a run: the report holds them as U+FFFD.
TEST_P(NativeFaults, NamesThatAreNotUtf8AreRecorded) {
  std::string image = "image\xff.bin", port = "port\xfe";
  write_file(image, "x");
  testbed::simulated_target target(expecting_image(1));
  target.start();
  ASSERT_EQ(0, symlink(target.port_path().c_str(), path_of(port).c_str()));
  expect_success(run({"--report=report.json", "--trace=trace.txt", port, DEFAULT_SETTINGS, image}),
                 "program loaded, 1 bytes\n");
  nlohmann::json record = report("report.json");
  EXPECT_EQ("port\xef\xbf\xbd", record.value("port", ""));
  EXPECT_EQ("image\xef\xbf\xbd.bin", record["image"].value("path", ""));
  program_run refused = run({"--report=report.json", "--attempts=\xff", port, "96,N,8,1", image});
  expect_failure(refused, "--attempts=\xff: a whole number is needed, up to 1000000\n");
}

// A FIFO planted where the trace is about to be made, after every check of
// its name and before its open (strace holds the open back meanwhile): it
// is refused at once, never waited for, and nothing is sent.
TEST_P(NativeFaults, ATracePlantedUponIsJudgedByWhatWasOpened) {
  write_file("image.bin", "x");
  testbed::simulated_target target(expecting_image(1));
  target.start();
  ASSERT_EQ(0, mkfifo(path_of("strace.log").c_str(), 0644));
  // strace writes a call's start as it holds it back, its end after.
  std::thread planter([&] {
    int log = open(path_of("strace.log").c_str(), O_RDONLY | O_CLOEXEC);
    std::string seen;
    char buffer[4096];
    bool planted = false;
    for (ssize_t got; (got = read(log, buffer, sizeof buffer)) > 0;) {
      seen.append(buffer, (size_t)got);
      if (!planted && seen.find("openat(AT_FDCWD, \"trace.txt\"") != std::string::npos)
        planted = mkfifo(path_of("trace.txt").c_str(), 0644) == 0;
    }
    close(log);
  });
  program_run planted =
      run_program(STRACE_PROGRAM,
                  {"-f", "-o", "strace.log", "-P", "trace.txt", "-e", "trace=openat", "-e",
                   "inject=openat:delay_enter=300000:when=1", TARVICK_PROGRAM, "--trace=trace.txt",
                   target.port_path(), DEFAULT_SETTINGS, "image.bin"},
                  directory_, 20, {"ASAN_OPTIONS=detect_leaks=0"}); // no leak check under ptrace
  planter.join();
  EXPECT_FALSE(planted.timed_out) << "the open waited for a reader";
  EXPECT_EQ(2, planted.status);
  EXPECT_EQ("--trace=trace.txt: the trace cannot be written there: a FIFO with no reader\n",
            planted.out);
  EXPECT_EQ("", target.finish().received);
}

// Sixteen runs stopped at once, each writing its report into one FIFO that
// a collector reads: sixteen whole reports, each in one write.
TEST_P(NativeFaults, StoppedRunsOnOneFifoLeaveWholeReports) {
  write_file("image.bin", "x");
  const int RUNS = 16;
  ASSERT_EQ(0, mkfifo(path_of("reports.fifo").c_str(), 0644));
  int collector =
      open(path_of("reports.fifo").c_str(), O_RDWR | O_CLOEXEC); // never without a reader
  target_script silent = expecting_image(1);
  silent.sync_replies.assign(5, testbed::SILENT);
  std::vector<std::unique_ptr<testbed::simulated_target>> targets;
  std::vector<std::thread> runs;
  for (int i = 0; i < RUNS; i++) {
    targets.push_back(std::make_unique<testbed::simulated_target>(silent));
    targets.back()->start();
    std::string port = targets.back()->port_path();
    runs.emplace_back([this, port] {
      run({"--report=reports.fifo", port, std::string(DEFAULT_SETTINGS) + std::string(2000, ' '),
           "image.bin"},
          1.0, SIGTERM);
    });
  }
  for (std::thread &each : runs)
    each.join();
  fcntl(collector, F_SETFL, O_NONBLOCK);
  std::string collected;
  char buffer[65536];
  for (ssize_t got; (got = read(collector, buffer, sizeof buffer)) > 0;)
    collected.append(buffer, (size_t)got);
  close(collector);
  std::istringstream lines(collected);
  int whole = 0;
  for (std::string line; std::getline(lines, line); whole++)
    EXPECT_EQ("stopped", nlohmann::json::parse(line, nullptr, false).value("outcome", ""))
        << line.substr(0, 200);
  EXPECT_EQ(RUNS, whole);
}

// A stop in the first milliseconds of a run, while its report may be on its
// way to saying "running", leaves no temporary beside it.
TEST_P(NativeFaults, AStopInTheFirstMillisecondsLeavesNoTemporary) {
  write_file("image.bin", "x");
  target_script silent = expecting_image(1);
  silent.sync_replies.assign(5, testbed::SILENT);
  testbed::simulated_target target(silent);
  target.start();
  for (int i = 0; i < 40; i++) {
    auto running =
        start({"--report=report.json", target.port_path(), DEFAULT_SETTINGS, "image.bin"});
    std::this_thread::sleep_for(std::chrono::microseconds(i * 250)); // the moment of the stop
    running->signal(SIGTERM);
    running->finish();
  }
  EXPECT_EQ(std::vector<std::string>{}, other_files(directory_, {"image.bin", "report.json"}));
}

NATIVE_ONLY(NativeFaults);
