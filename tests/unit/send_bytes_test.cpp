// send_bytes: nothing written for nothing, and a write that a port's own
// write time-out stops with nothing written ends the run instead of looping.
#include <gtest/gtest.h>
#include <unistd.h>

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
