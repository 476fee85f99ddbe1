// send_bytes and the one drain: plain writes in 64 KiB blocks, or paced
// pieces where a person watches or a write time-out is asked.
#include "sending.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../base/report.h"
#include "../platform/platform.h"
#include "pacing.h"
#include "send_progress.h"
#include "serial_port.h"

// Plain writes go in dd's blocks: as fast as one write, and a stop's record
// counts to within a block of what the port took.
static const uint32_t PLAIN_BLOCK = 64 * 1024;

static pacing sending;
static bool watching = false;

static uint64_t clock_ms() {
  return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static void pause_ms(DWORD ms) {
  Sleep(ms);
}

static const port_answers THE_PORT = {write_to_port, output_queued, clock_ms, pause_ms};

// Where a person watches or a write time-out is asked, the bytes go in
// pieces judged by what leaves the port; otherwise as plain writes.
static bool paced() {
  return watching || write_time_limit() != 0;
}

static void begin_sending(void (*left_port)(uint32_t)) {
  begin_pacing(&sending, THE_PORT, {line_bytes_per_second(), write_time_limit(), left_port});
}

static void fail_timed_out() {
  report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
}

void send_bytes(const void *data, uint32_t length) {
  const BYTE *bytes = static_cast<const BYTE *>(data);
  if (paced()) {
    if (!watching)
      begin_sending(nullptr);
    if (send_in_pieces(&sending, bytes, length) == PACED_TIMED_OUT)
      fail_timed_out();
  } else {
    for (uint32_t done = 0; done < length;)
      done +=
          write_to_port(bytes + done, length - done < PLAIN_BLOCK ? length - done : PLAIN_BLOCK);
  }
  bytes_sent += length;
}

// What a driver may hold beyond its queue figure: an FTDI chip's FIFO.
static const uint32_t HIDDEN_BYTES = 4096;

static std::mutex flush_lock;
static std::condition_variable flush_ended;
static bool flushed = false;
static unsigned flush_error = 0;
static std::thread flusher;

static void flush_port() {
  unsigned error = FlushFileBuffers(serial_port) ? 0 : last_error_code();
  std::lock_guard<std::mutex> lock(flush_lock);
  flushed = true;
  flush_error = error;
  flush_ended.notify_all();
}

// The platform's drain has no time limit of its own, and on a device that
// stopped reading it waits for ever, whatever its figure said. Under a write
// time-out it runs on a thread of its own and is given the time-out, and
// the time what a driver hides from its figure takes at the line's speed;
// past that, what is still queued is dropped and the run fails.
static void flush_within(DWORD limit_ms) {
  uint32_t rate = line_bytes_per_second();
  DWORD hidden_ms = rate > 0 ? (DWORD)((uint64_t)HIDDEN_BYTES * 1000 / rate) : 0;
  if (!start_helper(&flusher, flush_port)) {
    flush_port();
  } else {
    std::unique_lock<std::mutex> lock(flush_lock);
    if (!flush_ended.wait_for(lock, std::chrono::milliseconds(limit_ms + hidden_ms),
                              [] { return flushed; })) {
      lock.unlock();
      PurgeComm(serial_port, PURGE_TXABORT | PURGE_TXCLEAR);
      flusher.detach();
      fail_timed_out();
    }
    lock.unlock();
    flusher.join();
  }
  if (flush_error != 0)
    report_and_exit(&WRITE_FAILED, port_name, flush_error);
}

// A write returns once the driver holds the bytes, not once they have left:
// only this waits for the line, for as long as it takes (a hang-up ends it),
// or under a write time-out while bytes leave.
void wait_until_sent() {
  if (paced() && drain_in_pieces(&sending) == PACED_TIMED_OUT)
    fail_timed_out();
  if (write_time_limit() != 0)
    flush_within(write_time_limit());
  else if (!FlushFileBuffers(serial_port))
    report_and_exit(&WRITE_FAILED, port_name, last_error_code());
}

void watch_sending(uint32_t total) {
  watching = begin_progress(total);
  begin_sending(watching ? show_progress : nullptr);
}

void end_watching() {
  end_progress();
  watching = false;
}
