// Measures tarvick against the least a host can do, on pseudo-terminals
// with a fast simulated target:
//   upload: a 64 MiB image, side by side with dd writing it to the port,
//           and again with standard error on a terminal, where the
//           progress is drawn;
//   lines:  20,000 programming lines, side by side with a loop that writes a
//           line and waits for its reply byte;
//   memory: tarvick's peak resident size during the upload;
//   record: the upload and the lines again with --trace and --report on.
// It prints figures; it is no test and asserts nothing.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "simulated_target.h"
#include "spawn.h"

static const uint64_t IMAGE_SIZE = 64ull << 20;
static const int LINE_COUNT = 20000;
static const int ROUNDS = 9;
static const char SETTINGS[] = "baud=115200 parity=N data=8 stop=1";

struct measured {
  double seconds;
  long peak_kib;
};

// Where the progress is drawn: a pseudo-terminal that nobody reads (it
// holds far more than the few frames a second that are drawn).
static int terminal_for_errors() {
  static int terminal = -1;
  if (terminal < 0)
    testbed::open_pseudo_terminal(&terminal, false);
  return terminal;
}

// Runs a program with its output discarded; its time and peak memory. With
// `error_on_terminal` its standard error is a terminal.
static measured run(const std::vector<std::string> &args, bool error_on_terminal = false) {
  auto started = std::chrono::steady_clock::now();
  pid_t pid = spawn_quietly(args, error_on_terminal ? terminal_for_errors() : STDERR_FILENO);
  int status;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed\n", args[0].c_str());
    exit(1);
  }
  return {seconds, usage.ru_maxrss};
}

// Runs `args` (with the port put in for "PORT") against a fresh target.
static measured against_target(const testbed::target_script &script, std::vector<std::string> args,
                               uint64_t *image_bytes, size_t *lines,
                               bool error_on_terminal = false) {
  testbed::simulated_target target(script);
  target.start();
  for (std::string &arg : args) {
    size_t at = arg.find("PORT");
    if (at != std::string::npos)
      arg.replace(at, 4, target.port_path());
  }
  measured result = run(args, error_on_terminal);
  testbed::target_record record = target.finish();
  *image_bytes = record.image_bytes;
  *lines = record.lines.size();
  return result;
}

static double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

static void write_inputs(const std::string &directory) {
  std::ofstream image(directory + "/image.bin", std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); i++)
    block[i] = (char)(i * 131 + i / 7);
  for (uint64_t written = 0; written < IMAGE_SIZE; written += block.size())
    image.write(block.data(), (std::streamsize)block.size());
  std::ofstream lines(directory + "/lines.txt", std::ios::binary);
  for (int i = 0; i < LINE_COUNT; i++)
    lines << ":10" << std::string(38, "0123456789ABCDEF"[i % 16]) << "\n";
  std::ofstream(directory + "/empty.bin", std::ios::binary);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: tarvick-bench <tarvick> <line-loop>\n");
    return 2;
  }
  std::string tarvick = argv[1], line_loop = argv[2];
  char pattern[] = "/tmp/tarvick-bench-XXXXXX";
  std::string directory = mkdtemp(pattern);
  write_inputs(directory);
  std::string image = directory + "/image.bin", lines = directory + "/lines.txt";

  testbed::target_script upload;
  upload.image_length = IMAGE_SIZE;
  upload.keep_image = false;
  testbed::target_script raw_upload = upload;
  raw_upload.expect_handshake = false;
  testbed::target_script programming;
  testbed::target_script raw_programming;
  raw_programming.expect_handshake = false;

  std::vector<double> tarvick_upload, shown_upload, dd_upload, tarvick_lines, loop_lines;
  std::vector<double> recorded_upload, recorded_lines;
  std::string trace = "--trace=" + directory + "/trace.txt";
  std::string report = "--report=" + directory + "/report.json";
  long peak_kib = 0;
  for (int round = 0; round < ROUNDS; round++) {
    uint64_t bytes = 0;
    size_t count = 0;
    // Untimed: the first upload after the line runs finds the memory in
    // another state (huge pages to gather) and would weigh on whichever
    // upload came first.
    against_target(upload, {tarvick, "PORT", SETTINGS, image}, &bytes, &count);
    measured loaded = against_target(upload, {tarvick, "PORT", SETTINGS, image}, &bytes, &count);
    peak_kib = std::max(peak_kib, loaded.peak_kib);
    tarvick_upload.push_back(loaded.seconds);
    if (bytes != IMAGE_SIZE)
      return fprintf(stderr, "tarvick's upload arrived short\n"), 1;
    shown_upload.push_back(
        against_target(upload, {tarvick, "PORT", SETTINGS, image}, &bytes, &count, true).seconds);
    if (bytes != IMAGE_SIZE)
      return fprintf(stderr, "tarvick's upload with progress arrived short\n"), 1;
    dd_upload.push_back(
        against_target(raw_upload, {"/bin/dd", "if=" + image, "of=PORT", "bs=64K", "status=none"},
                       &bytes, &count)
            .seconds);
    if (bytes != IMAGE_SIZE)
      return fprintf(stderr, "dd upload arrived short: %llu\n", (unsigned long long)bytes), 1;
    tarvick_lines.push_back(
        against_target(programming, {tarvick, "PORT", SETTINGS, directory + "/empty.bin", lines},
                       &bytes, &count)
            .seconds);
    if (count != LINE_COUNT)
      return fprintf(stderr, "tarvick sent %zu lines\n", count), 1;
    loop_lines.push_back(
        against_target(raw_programming, {line_loop, "PORT", lines}, &bytes, &count).seconds);
    if (count != LINE_COUNT)
      return fprintf(stderr, "the loop sent %zu lines\n", count), 1;
    recorded_upload.push_back(
        against_target(upload, {tarvick, trace, report, "PORT", SETTINGS, image}, &bytes, &count)
            .seconds);
    recorded_lines.push_back(
        against_target(programming,
                       {tarvick, trace, report, "PORT", SETTINGS, directory + "/empty.bin", lines},
                       &bytes, &count)
            .seconds);
    if (count != LINE_COUNT)
      return fprintf(stderr, "tarvick sent %zu lines with its record\n", count), 1;
  }
  double upload_ratio = median(tarvick_upload) / median(dd_upload);
  double lines_ratio = median(tarvick_lines) / median(loop_lines);
  double shown_ratio = median(shown_upload) / median(dd_upload);
  printf("median of %d rounds on pseudo-terminals\n", ROUNDS);
  printf(
      "upload of 64 MiB:   tarvick %.3f s (%.0f MiB/s), dd %.3f s: %+.1f%% (target within +5%%)\n",
      median(tarvick_upload), 64 / median(tarvick_upload), median(dd_upload),
      (upload_ratio - 1) * 100);
  printf("  with progress:   tarvick %.3f s, standard error on a terminal: %+.1f%% (target within "
         "+5%%)\n",
         median(shown_upload), (shown_ratio - 1) * 100);
  printf("20,000 lines:       tarvick %.3f s (%.1f us a line), loop %.3f s (%.1f us): %+.1f%% "
         "(target within +15%%)\n",
         median(tarvick_lines), median(tarvick_lines) / LINE_COUNT * 1e6, median(loop_lines),
         median(loop_lines) / LINE_COUNT * 1e6, (lines_ratio - 1) * 100);
  printf("with --trace and --report: upload %.3f s (%+.1f%%), lines %.3f s (%+.1f%%) (target "
         "within +5%% each)\n",
         median(recorded_upload), (median(recorded_upload) / median(tarvick_upload) - 1) * 100,
         median(recorded_lines), (median(recorded_lines) / median(tarvick_lines) - 1) * 100);
  printf("peak memory:        %.1f MiB for a 64 MiB image: image %+.1f MiB (target at most +4)\n",
         peak_kib / 1024.0, peak_kib / 1024.0 - 64);
  std::remove(image.c_str());
  std::remove(lines.c_str());
  std::remove((directory + "/empty.bin").c_str());
  std::remove((directory + "/trace.txt").c_str());
  std::remove((directory + "/report.json").c_str());
  rmdir(directory.c_str());
  return 0;
}
