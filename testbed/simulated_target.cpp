// The simulated target's side of the line: what it reads, how it answers,
// and its record of every byte.
#include "simulated_target.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace testbed {

static const char COMMAND_FINISH = 'f';
static const char COMMAND_HANG_UP = 'h';
static const uint8_t LINE_ACCEPTED = 1;

static std::string byte_name(int byte) {
  if (byte > ' ' && byte < 0x7F)
    return std::string(1, (char)byte);
  char text[8];
  snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

// A line as it can be shown on a terminal: control bytes escaped, long
// lines cut short.
static std::string quoted(const std::string &line) {
  const size_t SHOWN = 60;
  std::string text = "\"";
  for (size_t i = 0; i < line.size() && i < SHOWN; i++) {
    unsigned char c = (unsigned char)line[i];
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%02X", c);
    text += c >= ' ' && c < 0x7F && c != '"' && c != '\\' ? std::string(1, (char)c) : escaped;
  }
  text += line.size() > SHOWN ? "\"... (" + std::to_string(line.size()) + " bytes)" : "\"";
  return text;
}

static void check(bool ok, const char *what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + strerror(errno));
}

int open_pseudo_terminal(int *terminal, bool raw) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  check(master >= 0, "posix_openpt");
  check(grantpt(master) == 0 && unlockpt(master) == 0, "unlockpt");
  char name[128];
  check(ptsname_r(master, name, sizeof name) == 0, "ptsname_r");
  *terminal = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  check(*terminal >= 0, "open pseudo-terminal");
  if (raw) {
    termios settings;
    check(tcgetattr(*terminal, &settings) == 0, "tcgetattr");
    cfmakeraw(&settings);
    check(tcsetattr(*terminal, TCSANOW, &settings) == 0, "tcsetattr");
  }
  return master;
}

// A serial line set up for use is raw; a new port is cooked, as a new
// pseudo-terminal is.
simulated_target::simulated_target(const target_script &script) : script_(script) {
  master_ = open_pseudo_terminal(&slave_, script_.raw_port);
  char name[128];
  check(ptsname_r(master_, name, sizeof name) == 0, "ptsname_r");
  port_path_ = name;
  open_line();
}

simulated_target::simulated_target(const target_script &script, int line) : script_(script) {
  master_ = fcntl(line, F_DUPFD_CLOEXEC, 0);
  check(master_ >= 0, "dup");
  open_line();
}

void simulated_target::open_line() {
  check(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) == 0, "fcntl");
  check(pipe2(wake_, O_CLOEXEC) == 0, "pipe2");
  if (!script_.preload.empty())
    check(write(master_, script_.preload.data(), script_.preload.size()) ==
              (ssize_t)script_.preload.size(),
          "preload");
}

simulated_target::~simulated_target() {
  if (thread_.joinable())
    finish();
  close_line();
  close(wake_[0]);
  close(wake_[1]);
}

void simulated_target::start() {
  if (!script_.expect_handshake) {
    phase_ = IMAGE;
    take_image(nullptr, 0);
  }
  thread_ = std::thread(&simulated_target::run, this);
}

target_record simulated_target::finish() {
  if (thread_.joinable()) {
    check(write(wake_[1], &COMMAND_FINISH, 1) == 1, "wake");
    thread_.join();
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return record_;
}

void simulated_target::hang_up() {
  if (thread_.joinable())
    check(write(wake_[1], &COMMAND_HANG_UP, 1) == 1, "wake");
}

void simulated_target::new_session() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  phase_ = HANDSHAKE;
  record_.image_bytes = 0;
  current_line_.clear();
}

void simulated_target::narrate(const std::string &event) {
  if (narrate_)
    narrate_(event);
}

void simulated_target::close_line() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (master_ < 0)
    return;
  close(master_);
  if (slave_ >= 0)
    close(slave_);
  master_ = slave_ = -1;
  record_.hung_up = true;
}

void simulated_target::run() {
  char buffer[64 * 1024];
  while (master_ >= 0) {
    if (!draining_) {
      // A stalled target reads nothing more: only its owner wakes it.
      pollfd events[2] = {{stalled_ ? -1 : master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(events, 2, -1) < 0 && errno != EINTR)
        break;
      if (events[1].revents & POLLIN) {
        char command = COMMAND_FINISH;
        if (read(wake_[0], &command, 1) == 1 && command == COMMAND_HANG_UP) {
          narrate("hung up");
          close_line();
          return;
        }
        if (stalled_)
          return;
        // What the loader wrote before it ended is still to be read; the
        // kernel hands over what is in flight before it says EAGAIN.
        draining_ = true;
      }
    }
    size_t wanted;
    {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      wanted = paced_read_size(sizeof buffer);
    }
    ssize_t got = read(master_, buffer, wanted);
    if (got > 0) {
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      take(buffer, (size_t)got);
      keep_pace();
    } else if (draining_ || (got < 0 && errno != EAGAIN && errno != EINTR)) {
      return;
    }
  }
}

// A paced target takes the image and the lines in small reads, as a slow
// line delivers them.
size_t simulated_target::paced_read_size(size_t size) const {
  // A target that stalls reads nothing past that point.
  if (script_.stop_reading_after_image_bytes >= 0 && phase_ == IMAGE)
    size = std::min<uint64_t>(size, std::max<int64_t>(1, script_.stop_reading_after_image_bytes -
                                                             (int64_t)record_.image_bytes));
  if (script_.bytes_per_second == 0 || phase_ == HANDSHAKE)
    return size;
  return std::max<size_t>(1, std::min<uint64_t>(size, script_.bytes_per_second / 50));
}

void simulated_target::keep_pace() {
  if (script_.bytes_per_second == 0 || paced_bytes_ == 0)
    return;
  if (!pace_started_) {
    pace_started_ = true;
    pace_start_ = std::chrono::steady_clock::now();
  }
  std::this_thread::sleep_until(
      pace_start_ + std::chrono::microseconds(paced_bytes_ * 1000000 / script_.bytes_per_second));
}

void simulated_target::send(const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size() && !draining_ && master_ >= 0) {
    ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += (size_t)put;
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EINTR)
      return;
    // The loader is not reading: wait for room, unless told to stop.
    pollfd events[2] = {{master_, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    poll(events, 2, -1);
    if (events[1].revents & POLLIN)
      return;
  }
}

void simulated_target::take(const char *bytes, size_t count) {
  size_t taken = 0;
  while (taken < count && master_ >= 0 && !stalled_) {
    if (phase_ == IMAGE) {
      size_t image_bytes = take_image(bytes + taken, count - taken);
      taken += image_bytes;
      paced_bytes_ += image_bytes;
      continue;
    }
    char byte = bytes[taken++];
    record_.received += byte;
    if (phase_ == LINES) {
      paced_bytes_++;
      take_line_byte(byte);
    } else if ((uint8_t)byte == SYNC_REQUEST)
      take_request();
  }
}

void simulated_target::take_request() {
  int index = record_.sync_requests++;
  int reply = index < (int)script_.sync_replies.size() ? script_.sync_replies[index] : SYNC_REPLY;
  if (index == 0 && script_.flood_bytes > 0) {
    std::string garbage(script_.flood_bytes, '\0');
    for (size_t i = 0; i < garbage.size(); i++)
      garbage[i] = (char)(i % 251 == SYNC_REPLY ? 0 : i % 251);
    send(garbage);
  }
  std::string request = "handshake request " + std::to_string(index + 1);
  if (reply == SILENT) {
    narrate(request + ": no answer");
    return;
  }
  narrate(request + ": answered " + byte_name(reply));
  send(std::string(1, (char)reply));
  if (reply != SYNC_REPLY)
    return;
  send(script_.after_sync);
  phase_ = IMAGE;
  take_image(nullptr, 0); // an empty image is complete at once
}

size_t simulated_target::take_image(const char *bytes, size_t count) {
  uint64_t wanted = script_.image_length - record_.image_bytes;
  if (script_.hang_up_after_image_bytes >= 0)
    wanted = std::min(wanted, (uint64_t)script_.hang_up_after_image_bytes - record_.image_bytes);
  if (script_.stop_reading_after_image_bytes >= 0)
    wanted =
        std::min(wanted, (uint64_t)script_.stop_reading_after_image_bytes - record_.image_bytes);
  size_t taken = (size_t)std::min<uint64_t>(wanted, count);
  if (script_.keep_image) {
    record_.image.append(bytes == nullptr ? "" : bytes, taken);
    record_.received.append(bytes == nullptr ? "" : bytes, taken);
  }
  record_.image_bytes += taken;
  if ((int64_t)record_.image_bytes == script_.hang_up_after_image_bytes) {
    narrate("hung up after " + std::to_string(record_.image_bytes) + " image bytes");
    close_line();
  } else if ((int64_t)record_.image_bytes == script_.stop_reading_after_image_bytes) {
    narrate("stopped reading after " + std::to_string(record_.image_bytes) + " image bytes");
    stalled_ = true;
  } else if (record_.image_bytes == script_.image_length) {
    enter_lines();
  }
  return taken;
}

void simulated_target::enter_lines() {
  narrate("image complete: " + std::to_string(record_.image_bytes) + " bytes");
  phase_ = LINES;
  send(script_.after_image);
}

void simulated_target::take_line_byte(char byte) {
  if (byte != '\n') {
    current_line_ += byte;
    return;
  }
  record_.lines.push_back(current_line_);
  current_line_.clear();
  size_t index = record_.lines.size() - 1;
  std::string line = "line " + std::to_string(index + 1) + " " + quoted(record_.lines.back());
  if ((int64_t)record_.lines.size() == script_.hang_up_after_lines) {
    narrate(line + ": hung up");
    close_line();
    return;
  }
  if (script_.silent_from_line >= 0 && (int64_t)index + 1 >= script_.silent_from_line) {
    narrate(line + ": no answer");
    return;
  }
  uint8_t reply = index < script_.line_replies.size() ? script_.line_replies[index] : LINE_ACCEPTED;
  narrate(line + ": answered " + std::to_string(reply));
  send(std::string(1, (char)reply));
}

std::shared_future<void> simulated_target::first_event(const std::string &said) {
  auto ready = std::make_shared<std::promise<void>>();
  auto once = std::make_shared<std::once_flag>();
  on_event([ready, once, said](const std::string &event) {
    if (event.find(said) != std::string::npos)
      std::call_once(*once, [&] { ready->set_value(); });
  });
  return ready->get_future().share();
}

} // namespace testbed
