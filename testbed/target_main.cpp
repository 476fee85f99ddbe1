// tarvick-target: a simulated target on a pseudo-terminal, to rehearse a load
// without hardware, or on a serial device given (the far end of a USB gadget,
// say). It prints the port to give tarvick, narrates what it receives, and at
// SIGINT or SIGTERM prints an account of all it received.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

#include "simulated_target.h"

using testbed::simulated_target;
using testbed::target_record;
using testbed::target_script;

static const char USAGE[] =
    "usage: tarvick-target [options]\n"
    "  --image FILE             expect this image (its length), and check it on arrival\n"
    "  --image-length N         expect an image of N bytes\n"
    "  --sync-replies LIST      reply to each handshake request in turn: K, S (silent),\n"
    "                           or a byte value; e.g. S,S,K (default: K)\n"
    "  --line-replies LIST      reply byte to each programming line in turn (default: 1)\n"
    "  --hang-up-after-lines N  close the line when line N arrives\n"
    "  --silent-from-line N     answer no line from line N on\n"
    "  --pace N                 take the image and the lines at N bytes a second, as a slow\n"
    "                           line does\n"
    "  --stop-reading-after N   read nothing more after N image bytes, as a device\n"
    "                           that stalls\n"
    "  --link PATH              also make PATH a symbolic link to the port\n"
    "  --line PATH              play the target on this serial device instead of a\n"
    "                           pseudo-terminal (it is made raw)\n";

static std::vector<std::string> split(const std::string &list) {
  std::vector<std::string> items;
  std::istringstream stream(list);
  for (std::string item; std::getline(stream, item, ',');)
    items.push_back(item);
  return items;
}

static int sync_reply(const std::string &item) {
  if (item == "K" || item == "k")
    return testbed::SYNC_REPLY;
  if (item == "S" || item == "s")
    return testbed::SILENT;
  return (int)strtoul(item.c_str(), nullptr, 0) & 0xFF;
}

static std::string read_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    fprintf(stderr, "tarvick-target: cannot read %s\n", path.c_str());
    exit(2);
  }
  return std::string(std::istreambuf_iterator<char>(file), {});
}

struct options {
  target_script script;
  std::string image_path;
  std::string image;
  std::string link;
  std::string line;
};

static options parse_options(int argc, char **argv) {
  options chosen;
  for (int i = 1; i < argc; i++) {
    std::string name = argv[i];
    if (i + 1 >= argc || name.rfind("--", 0) != 0) {
      fputs(USAGE, stderr);
      exit(2);
    }
    std::string value = argv[++i];
    if (name == "--image") {
      chosen.image_path = value;
      chosen.image = read_file(value);
      chosen.script.image_length = chosen.image.size();
    } else if (name == "--image-length") {
      chosen.script.image_length = strtoull(value.c_str(), nullptr, 0);
    } else if (name == "--sync-replies") {
      for (const std::string &item : split(value))
        chosen.script.sync_replies.push_back(sync_reply(item));
    } else if (name == "--line-replies") {
      for (const std::string &item : split(value))
        chosen.script.line_replies.push_back((uint8_t)strtoul(item.c_str(), nullptr, 0));
    } else if (name == "--hang-up-after-lines") {
      chosen.script.hang_up_after_lines = strtoll(value.c_str(), nullptr, 0);
    } else if (name == "--pace") {
      chosen.script.bytes_per_second = strtoull(value.c_str(), nullptr, 0);
    } else if (name == "--silent-from-line") {
      chosen.script.silent_from_line = strtoll(value.c_str(), nullptr, 0);
    } else if (name == "--stop-reading-after") {
      chosen.script.stop_reading_after_image_bytes = strtoll(value.c_str(), nullptr, 0);
    } else if (name == "--link") {
      chosen.link = value;
    } else if (name == "--line") {
      chosen.line = value;
    } else {
      fputs(USAGE, stderr);
      exit(2);
    }
  }
  return chosen;
}

static void print_account(const target_record &record, const options &chosen) {
  printf("target: received %d handshake request(s), an image of %llu bytes", record.sync_requests,
         (unsigned long long)record.image_bytes);
  if (!chosen.image_path.empty())
    printf(record.image == chosen.image ? " (identical to %s)" : " (DIFFERENT from %s)",
           chosen.image_path.c_str());
  printf(" and %zu programming line(s)\n", record.lines.size());
}

// A serial device to play the target on, raw, with what waited in it from
// before dropped.
static int open_raw(const std::string &path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios modes;
  if (fd < 0 || tcgetattr(fd, &modes) != 0) {
    perror(("tarvick-target: " + path).c_str());
    exit(2);
  }
  cfmakeraw(&modes);
  tcsetattr(fd, TCSANOW, &modes);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

int main(int argc, char **argv) {
  options chosen = parse_options(argc, argv);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Blocked before the target's thread starts, so only sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::unique_ptr<simulated_target> served;
  if (chosen.line.empty()) {
    served = std::make_unique<simulated_target>(chosen.script);
  } else {
    int line = open_raw(chosen.line);
    served = std::make_unique<simulated_target>(chosen.script, line);
    close(line);
  }
  simulated_target &target = *served;
  std::string port = chosen.line.empty() ? target.port_path() : chosen.line;
  if (!chosen.link.empty()) {
    unlink(chosen.link.c_str());
    if (symlink(port.c_str(), chosen.link.c_str()) != 0)
      perror("tarvick-target: symlink");
  }
  target.on_event([](const std::string &event) {
    printf("target: %s\n", event.c_str());
    fflush(stdout);
  });
  printf("%s\n", port.c_str());
  fflush(stdout);
  target.start();
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  print_account(target.finish(), chosen);
  if (!chosen.link.empty())
    unlink(chosen.link.c_str());
  return 0;
}
