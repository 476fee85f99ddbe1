// The POSIX layer's serial calls keep their Windows contracts: time-outs,
// hang-ups, signals, and what a file or a terminal delivers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "simulated_target.h"

using clock_type = std::chrono::steady_clock;

static double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

class PosixPort : public testing::Test {
protected:
  void SetUp() override {
    port_ = CreateFileA(target_.port_path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                        OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
  }
  void TearDown() override { CloseHandle(port_); }

  void set_read_timeouts(DWORD interval, DWORD constant) {
    COMMTIMEOUTS timeouts = {interval, 0, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  }

  testbed::simulated_target target_{testbed::target_script{}};
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(PosixPort, AReadTimeOutIsSuccessWithNoBytes) {
  set_read_timeouts(0, 300);
  BYTE byte = 0;
  DWORD count = 99;
  SetLastError(0);
  auto start = clock_type::now();
  EXPECT_TRUE(ReadFile(port_, &byte, 1, &count, NULL));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(0u, GetLastError());
  EXPECT_GE(seconds_since(start), 0.29);
}

static void ignore_alarm(int) {}

TEST_F(PosixPort, SignalsDoNotCutATimeOutShort) {
  struct sigaction action = {};
  action.sa_handler = ignore_alarm; // no SA_RESTART: poll sees EINTR
  sigaction(SIGALRM, &action, nullptr);
  itimerval every_50ms = {{0, 50000}, {0, 50000}};
  setitimer(ITIMER_REAL, &every_50ms, nullptr);
  set_read_timeouts(0, 400);
  BYTE byte = 0;
  DWORD count = 99;
  auto start = clock_type::now();
  BOOL ok = ReadFile(port_, &byte, 1, &count, NULL);
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_TRUE(ok);
  EXPECT_EQ(0u, count);
  EXPECT_GE(seconds_since(start), 0.39);
}

TEST_F(PosixPort, AHangUpIsAnErrorEvenWithoutTimeOut) {
  set_read_timeouts(0, 0);
  target_.start();
  target_.hang_up();
  BYTE byte = 0;
  DWORD count = 99;
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, NULL));
  EXPECT_EQ(0u, count);
  EXPECT_EQ((DWORD)EIO, GetLastError());
  EXPECT_FALSE(WriteFile(port_, "x", 1, &count, NULL));
  target_.finish();
}

TEST_F(PosixPort, AHangUpIsAnErrorAtOnceUnderATimeOut) {
  set_read_timeouts(0, 2000);
  target_.start();
  target_.hang_up();
  target_.finish();
  BYTE byte = 0;
  DWORD count = 99;
  auto start = clock_type::now();
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, NULL)) << "a dead line is no silent one";
  EXPECT_EQ((DWORD)EIO, GetLastError());
  EXPECT_LT(seconds_since(start), 1.0);
}

TEST_F(PosixPort, ATimedWriteStopsWhenTheLineIsBlocked) {
  COMMTIMEOUTS timeouts = {0, 0, 0, 0, 200};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  std::string lots(1 << 20, 'x'); // more than the pseudo-terminal holds
  DWORD written = 0;
  auto start = clock_type::now();
  EXPECT_TRUE(WriteFile(port_, lots.data(), (DWORD)lots.size(), &written, NULL));
  EXPECT_LT(written, lots.size());
  EXPECT_GE(seconds_since(start), 0.19);
}

// As on Windows, closing the handle ends exclusive use, however often a
// port is opened and closed.
TEST_F(PosixPort, ClosingAPortEndsItsExclusiveUse) {
  int other = open(target_.port_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); // root passes
  ASSERT_GE(other, 0);
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE(round);
    int exclusive = 0;
    ASSERT_EQ(0, ioctl(other, TIOCGEXCL, &exclusive));
    EXPECT_EQ(1, exclusive);
    CloseHandle(port_);
    ASSERT_EQ(0, ioctl(other, TIOCGEXCL, &exclusive));
    EXPECT_EQ(0, exclusive);
    port_ = CreateFileA(target_.port_path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                        OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, port_);
  }
  close(other);
}

TEST(PosixFiles, AFileDeliversTheWholeCountUnlessItEnds) {
  char path[] = "/tmp/tarvick-file-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_EQ(5, write(fd, "hello", 5));
  close(fd);
  DWORD count = 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  BY_HANDLE_FILE_INFORMATION information;
  ASSERT_TRUE(GetFileInformationByHandle(file, &information));
  EXPECT_EQ(0u, information.nFileSizeHigh);
  EXPECT_EQ(5u, information.nFileSizeLow);
  char buffer[16];
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, NULL));
  EXPECT_EQ(5u, count);
  COMMTIMEOUTS timeouts;
  EXPECT_FALSE(GetCommTimeouts(file, &timeouts)) << "a file is no port";
  EXPECT_EQ((DWORD)ENOTTY, GetLastError());
  CloseHandle(file);
  unlink(path);
}

TEST(PosixFiles, ADirectoryDoesNotOpen) {
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("/tmp", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL));
  EXPECT_EQ((DWORD)EISDIR, GetLastError());
}
