// A simulated target on the far side of a pseudo-terminal: the slave is the
// "serial port" a loader opens, the target plays the device on the master.
// It can also serve any other line given as a descriptor, such as the
// socket behind a virtual machine's UART.
//
// It answers the handshake, takes the image, and answers each programming
// line, all as scripted, and records every byte it receives.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testbed {

const uint8_t SYNC_REQUEST = 0xAA;
const uint8_t SYNC_REPLY = 'K';
const int SILENT = -1; // a handshake request left unanswered

// Opens a pseudo-terminal pair: returns the master and puts the terminal end
// in `terminal`, raw if asked (a new one is cooked and echoes). Both close on
// exec. Throws where the system refuses.
int open_pseudo_terminal(int *terminal, bool raw);

struct target_script {
  // The reply to each handshake request in turn (a byte, or SILENT); every
  // request past the list is answered with SYNC_REPLY.
  std::vector<int> sync_replies;
  std::string preload;    // already waiting in the port's input at the start
  std::string after_sync; // sent right behind the handshake reply
  uint64_t image_length = 0;
  std::string after_image; // sent once the whole image has arrived
  // The reply to each programming line in turn; 1 (accepted) past the list.
  std::vector<uint8_t> line_replies;
  int64_t hang_up_after_image_bytes = -1;      // close the line after so many
  int64_t stop_reading_after_image_bytes = -1; // read nothing more, the line kept open
  int64_t hang_up_after_lines = -1;            // close the line instead of replying
  int64_t silent_from_line = -1;               // no reply from this line (1 first) on
  uint64_t flood_bytes = 0;                    // garbage sent at the first request
  bool keep_image = true;                      // false: count the image, do not store it
  bool expect_handshake = true;                // false: the image is all that comes
  bool raw_port = true;          // false: the port starts as a new terminal, cooked, with XON/XOFF
  uint64_t bytes_per_second = 0; // takes the image and the lines at this pace (0: at once)
};

struct target_record {
  std::string received; // every byte, in order (the image only if kept)
  int sync_requests = 0;
  std::string image;
  uint64_t image_bytes = 0;
  std::vector<std::string> lines;
  bool hung_up = false;
};

class simulated_target {
public:
  explicit simulated_target(const target_script &script);
  // Serves `line` (a copy of the descriptor; the caller keeps its own).
  simulated_target(const target_script &script, int line);
  ~simulated_target();
  simulated_target(const simulated_target &) = delete;
  simulated_target &operator=(const simulated_target &) = delete;

  const std::string &port_path() const { return port_path_; } // empty for a given line
  int master_fd() const { return master_; }                   // its termios ioctls act on the port
  // Narration of what the target does, one line an event (for the program).
  void on_event(std::function<void(const std::string &)> narrate) { narrate_ = narrate; }
  // Ready at the first event whose narration holds `said`; it takes the
  // place of any narration asked for before.
  std::shared_future<void> first_event(const std::string &said);

  void start();
  // Takes every byte still on its way, stops, and gives what was received.
  target_record finish();
  // Starts over at the handshake, as a target does when it is reset.
  void new_session();
  // Closes the line now, as an unplugged cable does.
  void hang_up();

private:
  enum phase { HANDSHAKE, IMAGE, LINES };
  void open_line();
  void run();
  size_t paced_read_size(size_t size) const;
  void keep_pace();
  void take(const char *bytes, size_t count);
  size_t take_image(const char *bytes, size_t count);
  void take_line_byte(char byte);
  void take_request();
  void send(const std::string &bytes);
  void enter_lines();
  void close_line();
  void narrate(const std::string &event);

  target_script script_;
  target_record record_;
  std::string port_path_;
  std::string current_line_;
  phase phase_ = HANDSHAKE;
  int master_ = -1;
  int slave_ = -1; // held so that the port lives between openings
  int wake_[2] = {-1, -1};
  bool draining_ = false;
  bool stalled_ = false; // read no more: a device that stopped reading
  bool pace_started_ = false;
  uint64_t paced_bytes_ = 0; // image and line bytes taken
  std::chrono::steady_clock::time_point pace_start_;
  std::thread thread_;
  std::recursive_mutex mutex_; // the record, between the target and its owner
  std::function<void(const std::string &)> narrate_;
};

} // namespace testbed
