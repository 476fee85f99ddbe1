// The progress's JSON lines, made from the record's counts on a thread of
// their own.
#include "progress_json.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "../platform/platform.h"
#include "helper_end.h"
#include "run_record.h"

static const std::chrono::milliseconds EVERY(100);

static std::mutex progress_lock;
static std::condition_variable progress_stop;
static bool stopping = false, ended = false;
static std::thread writer;
static std::string last_written;

// The phase names are the program's own: nothing in them to escape.
static void write_if_moved() {
  char line[200];
  report_counts counts = counts_now();
  int length = snprintf(line, sizeof line,
                        "{\"phase\":\"%s\",\"attempt\":%u,\"bytes_sent\":%lu,\"total\":%lu,"
                        "\"lines_done\":%lu}\n",
                        phase_now(), counts.handshake_attempts, (unsigned long)counts.bytes_sent,
                        (unsigned long)image_size_now(), (unsigned long)counts.lines_sent);
  if (length <= 0 || (size_t)length >= sizeof line || last_written == line)
    return;
  last_written = line;
  write_error_at_once(line, (size_t)length);
}

// Lines are written outside the lock, so that the way out never waits for
// a write.
static void write_until_stopped() {
  std::unique_lock<std::mutex> lock(progress_lock);
  for (bool last = false; !last;) {
    last = progress_stop.wait_for(lock, EVERY, [] { return stopping; });
    lock.unlock();
    write_if_moved();
    lock.lock();
  }
  ended = true;
  progress_stop.notify_all();
}

void start_progress_json() {
  start_helper(&writer, write_until_stopped);
}

// A reader that takes nothing (a stopped terminal) holds the thread, never
// the way out: it is waited for a moment, then left behind.
void stop_progress_json() {
  if (!writer.joinable())
    return;
  std::unique_lock<std::mutex> lock(progress_lock);
  stopping = true;
  progress_stop.notify_all();
  end_helper_within(&writer, lock, progress_stop, ended, std::chrono::milliseconds(200));
}
