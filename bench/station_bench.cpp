// Measures a station on pseudo-terminals with simulated targets:
//   start:  how long after a board's port appears its run sends its first
//           handshake byte (the station looks at names every 100 ms);
//   side by side: eight boards loaded at once against one alone, each
//           target taking its image at 100,000 bytes a second;
//   idle:   the CPU a station takes in 10 s with nothing plugged in, by names
//           and by the system's events (USB identities).
// It prints figures; it is no test and asserts nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simulated_target.h"
#include "spawn.h"

using bench_clock = std::chrono::steady_clock;

static const char SETTINGS[] = "baud=115200 parity=N data=8 stop=1";
static const int STARTS = 10;
static const int SIDE_BY_SIDE = 8;
static const uint64_t IMAGE = 256 * 1024;

// Waits for the station, and gives the CPU it took, in seconds.
static double wait_for(pid_t pid) {
  int status;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
         usage.ru_stime.tv_usec / 1e6;
}

static double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The time from the link made to the first handshake byte, board after
// board on one slot; each board is away for longer than a station waits.
static std::vector<double> start_latencies(const std::string &tarvick, const std::string &dir) {
  std::string link = dir + "/board";
  pid_t station = spawn_quietly({tarvick, "--station", link, SETTINGS, dir + "/one.bin"});
  std::vector<double> latencies;
  for (int board = 0; board < STARTS; board++) {
    testbed::target_script script;
    script.image_length = 1;
    testbed::simulated_target target(script);
    std::mutex lock;
    std::condition_variable asked;
    bench_clock::time_point first_request;
    bool came = false;
    target.on_event([&](const std::string &event) {
      std::lock_guard<std::mutex> held(lock);
      if (!came && event.find("answered") != std::string::npos) {
        first_request = bench_clock::now();
        came = true;
        asked.notify_all();
      }
    });
    target.start();
    bench_clock::time_point plugged = bench_clock::now();
    symlink(target.port_path().c_str(), link.c_str());
    std::unique_lock<std::mutex> held(lock);
    if (asked.wait_for(held, std::chrono::seconds(10), [&] { return came; }))
      latencies.push_back(std::chrono::duration<double>(first_request - plugged).count());
    held.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the load ends
    unlink(link.c_str());
    // The station sees it gone; the next board comes at another point of its
    // looks, 100 ms apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300 + board * 37 % 100));
    target.finish();
  }
  kill(station, SIGINT);
  wait_for(station);
  return latencies;
}

// The time a station takes to load `boards` boards there from its start.
static double side_by_side(const std::string &tarvick, const std::string &dir, int boards) {
  std::vector<std::unique_ptr<testbed::simulated_target>> targets;
  std::string ports;
  for (int board = 0; board < boards; board++) {
    testbed::target_script script;
    script.image_length = IMAGE;
    script.keep_image = false;
    script.bytes_per_second = 100000;
    targets.push_back(std::make_unique<testbed::simulated_target>(script));
    targets.back()->start();
    std::string link = dir + "/side-" + std::to_string(board);
    unlink(link.c_str());
    symlink(targets.back()->port_path().c_str(), link.c_str());
    ports += (ports.empty() ? "" : ",") + link;
  }
  bench_clock::time_point started = bench_clock::now();
  pid_t station = spawn_quietly({tarvick, "--station", "--count=" + std::to_string(boards), ports,
                                 SETTINGS, dir + "/image.bin"});
  wait_for(station);
  double seconds = std::chrono::duration<double>(bench_clock::now() - started).count();
  for (int board = 0; board < boards; board++) {
    unlink((dir + "/side-" + std::to_string(board)).c_str());
    if (targets[board]->finish().image_bytes != IMAGE)
      fprintf(stderr, "board %d was not loaded whole\n", board);
  }
  return seconds;
}

static double idle_cpu(const std::string &tarvick, const std::string &ports) {
  pid_t station = spawn_quietly({tarvick, "--station", ports, SETTINGS, "/dev/null"});
  std::this_thread::sleep_for(std::chrono::seconds(10));
  kill(station, SIGINT);
  return wait_for(station);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: station-bench <tarvick>\n");
    return 2;
  }
  std::string tarvick = argv[1];
  char pattern[] = "/tmp/tarvick-station-bench-XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::ofstream(dir + "/one.bin") << "x";
  std::ofstream(dir + "/image.bin", std::ios::binary) << std::string(IMAGE, 'i');

  std::vector<double> latencies = start_latencies(tarvick, dir);
  printf("start: %zu boards, from the port made to the run's first handshake byte: median %.0f "
         "ms, at most %.0f ms (target within 300 ms)\n",
         latencies.size(), median(latencies) * 1000,
         *std::max_element(latencies.begin(), latencies.end()) * 1000);
  double one = side_by_side(tarvick, dir, 1);
  double eight = side_by_side(tarvick, dir, SIDE_BY_SIDE);
  printf("side by side: 1 board %.2f s, %d boards %.2f s: %.2f times (target at most 1.1)\n", one,
         SIDE_BY_SIDE, eight, eight / one);
  double by_names = idle_cpu(tarvick, dir + "/absent-1," + dir + "/absent-2");
  double by_events = idle_cpu(tarvick, "usb:0403:6001,usb@1-1");
  printf("idle for 10 s: %.3f s of CPU looking at 2 names, %.3f s watching USB events\n", by_names,
         by_events);
  std::remove((dir + "/one.bin").c_str());
  std::remove((dir + "/image.bin").c_str());
  rmdir(dir.c_str());
  return 0;
}
