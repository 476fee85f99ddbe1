// send_bytes and the one drain: plain writes in 64 KiB blocks, or paced
// pieces where a person watches or a write time-out is asked.
#include "sending.h"

#include <windows.h>

#include <chrono>

#include "../base/report.h"
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

// A write returns once the driver holds the bytes, not once they have left:
// only this waits for the line, for as long as it takes (a hang-up ends it,
// and a write time-out where one was asked).
void wait_until_sent() {
  if (paced() && drain_in_pieces(&sending) == PACED_TIMED_OUT)
    fail_timed_out();
  if (!FlushFileBuffers(serial_port))
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
