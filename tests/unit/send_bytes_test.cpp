// send_bytes: nothing written for nothing, and a write that a port's own
// write time-out stops with nothing written ends the run instead of looping;
// and the pacing of the pieces, port by port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "../../link/pacing.h"
#include "../../link/sending.h"
#include "../../link/serial_port.h"
#include "simulated_target.h"

TEST(SendBytes, NothingToSendWritesNothing) {
  testbed::simulated_target target{testbed::target_script{}};
  target.start();
  open_serial_port(target.port_path().c_str(), "baud=9600");
  uint32_t before = bytes_sent;
  send_bytes("", 0);
  EXPECT_EQ(before, bytes_sent);
  send_bytes("abc", 3);
  EXPECT_EQ(before + 3, bytes_sent);
  EXPECT_EQ("abc", target.finish().received.substr(0, 3));
}

// The port's write fields are kept as found, so a port left with a write
// time-out by another program can stop a write short.
static void send_into_blocked_line(const char *port) {
  dup2(STDERR_FILENO, STDOUT_FILENO); // the message, where the death test sees it
  open_serial_port(port, "baud=9600");
  COMMTIMEOUTS timeouts;
  GetCommTimeouts(serial_port, &timeouts);
  timeouts.WriteTotalTimeoutConstant = 100;
  SetCommTimeouts(serial_port, &timeouts);
  static char lots[1 << 20];
  send_bytes(lots, sizeof lots);
}

TEST(SendBytesDeathTest, AWriteThatTimesOutWithNothingWrittenEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testbed::simulated_target target{testbed::target_script{}}; // reads nothing
  // The death test runs in a new process, with a pseudo-terminal of its own.
  std::string expected = "fail to write to /dev/pts/[0-9]+ : " + std::to_string(ETIMEDOUT) + "\n";
  EXPECT_EXIT(send_into_blocked_line(target.port_path().c_str()), testing::ExitedWithCode(2),
              expected);
}

// The pacing's decisions against ports as their drivers answer, on a clock
// of the table's own: the bytes leave at the line's rate, and each port
// tells its queue as its driver does.
namespace {

struct port_model {
  uint32_t rate;      // bytes a second that leave the driver
  uint32_t buffer;    // what the driver holds at most
  uint32_t transfer;  // the figure counts whole transfers of this size (cdc_acm); 0: bytes
  int64_t figure;     // what the figure always says, where it is stuck; -1: the truth
  uint32_t write_ms;  // each write takes this long (a driver that blocks)
  uint32_t stalls_at; // nothing leaves once this many bytes have left; 0: never
  DWORD slice_ms;     // a write waits this long at the most for room; 0: until there is room
};

const int64_t NO_FIGURE = -2; // a driver that cannot tell

port_model model;
uint64_t now = 0;
double queued = 0, gone = 0;
std::deque<double> transfers; // each write a transfer of its own, in turn
int writes = 0, frames = 0;

void advance(uint64_t ms) {
  double leaving = model.rate * ms / 1000.0;
  if (model.stalls_at != 0 && gone + leaving > model.stalls_at)
    leaving = std::max(0.0, model.stalls_at - gone);
  leaving = std::min(leaving, queued);
  queued -= leaving;
  gone += leaving;
  now += ms;
  for (double left = leaving; !transfers.empty() && left > 0;) {
    double part = std::min(left, transfers.front());
    transfers.front() -= part;
    left -= part;
    if (transfers.front() <= 1e-9)
      transfers.pop_front();
  }
}

// Linux wakes a writer on a full tty only below 256 bytes queued.
DWORD model_write(const BYTE *, DWORD count) {
  writes++;
  advance(model.write_ms);
  uint64_t waited = 0;
  while (queued + 1 > model.buffer || (queued > 256 && queued + count > model.buffer)) {
    if (model.slice_ms != 0 && waited >= model.slice_ms)
      return 0;
    advance(1);
    waited++;
  }
  DWORD taken = (DWORD)std::min<double>(count, model.buffer - queued);
  if (model.transfer != 0) {
    taken = std::min(taken, model.transfer);
    transfers.push_back(taken);
  }
  queued += taken;
  return taken;
}

bool model_queued(DWORD *figure) {
  if (model.figure == NO_FIGURE)
    return false;
  if (model.figure >= 0)
    *figure = (DWORD)model.figure;
  else if (model.transfer != 0)
    *figure = (DWORD)transfers.size() * model.transfer;
  else
    *figure = (DWORD)queued;
  return true;
}

uint64_t model_now() {
  return now;
}

void model_pause(DWORD ms) {
  advance(ms);
}

void count_frame(uint32_t) {
  frames++;
}

struct pacing_row {
  const char *port;
  port_model model;
  uint32_t line_rate, image, limit_ms;
  paced_outcome outcome;
  int writes_least, writes_most, frames_least, frames_most;
};

} // namespace

TEST(Pacing, EachPortIsPacedByWhatLeavesIt) {
  const uint32_t HUGE_BUFFER = 1u << 30;
  // clang-format off
  const pacing_row rows[] = {
      // port             rate      buffer       transfer figure write stalls slice
      // A pseudo-terminal: its figure is always 0, and it takes all at once.
      {"pseudo-terminal", {10000000, HUGE_BUFFER, 0,     0,     0,    0,   0},   11520, 200000, 0,
       PACED_SENT, 55, 70, 0, 0},
      // An 8250 at 9600: 4 KiB that fall smoothly; the queue holds a piece.
      {"8250",            {960,      4096,        0,     -1,    0,    0,   0},   960, 2048, 0,
       PACED_SENT, 20, 23, 18, 23},
      // The same under a write time-out of 1 s (a write waits 100 ms at the
      // most), and with a target that stops reading.
      {"8250, time-out",  {960,      4096,        0,     -1,    0,    0,   100}, 960, 2048, 1000,
       PACED_SENT, 20, 23, 18, 23},
      {"8250 stalled",    {960,      4096,        0,     -1,    0,    500, 100}, 960, 2048, 1000,
       PACED_TIMED_OUT, 5, 10, 12, 17},
      // cdc_acm at 9600: the figure counts each busy transfer as 10,240 bytes.
      {"cdc_acm",         {960,      HUGE_BUFFER, 10240, -1,    0,    0,   0},   960, 2048, 1000,
       PACED_SENT, 20, 23, 18, 23},
      // A figure stuck at 5000: tried three times, then plain writes.
      {"stuck figure",    {960,      HUGE_BUFFER, 0,     5000,  0,    0,   0},   960, 2048, 1000,
       PACED_SENT, 4, 4, 4, 6},
      // A driver that cannot tell its queue: plain writes, and the run goes on.
      {"no figure",       {960,      HUGE_BUFFER, 0,     NO_FIGURE, 0, 0,  0},   960, 2048, 1000,
       PACED_SENT, 1, 1, 0, 0},
      // Writes that block 2 s each: a piece a redraw's worth, a frame a write.
      {"blocking writes", {960,      HUGE_BUFFER, 0,     -1,    2000, 0,   0},   960, 1024, 0,
       PACED_SENT, 11, 11, 10, 12},
  };
  // clang-format on
  for (const pacing_row &row : rows) {
    SCOPED_TRACE(row.port);
    model = row.model;
    now = 0;
    queued = gone = 0;
    transfers.clear();
    writes = frames = 0;
    std::vector<BYTE> image(row.image);
    pacing paced;
    begin_pacing(&paced, {model_write, model_queued, model_now, model_pause},
                 {row.line_rate, row.limit_ms, count_frame});
    paced_outcome outcome = send_in_pieces(&paced, image.data(), row.image);
    if (outcome == PACED_SENT)
      outcome = drain_in_pieces(&paced);
    EXPECT_EQ(row.outcome, outcome);
    EXPECT_GE(writes, row.writes_least);
    EXPECT_LE(writes, row.writes_most);
    EXPECT_GE(frames, row.frames_least);
    EXPECT_LE(frames, row.frames_most);
    printf("%s: %d writes, %d frames, %.1f s, %.0f bytes left\n", row.port, writes, frames,
           now / 1000.0, gone);
  }
}
