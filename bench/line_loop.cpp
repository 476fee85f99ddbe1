// The least a host can do per programming line: write the line with its LF
// in one call and wait for one reply byte. The benchmark's yardstick.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: line-loop <port> <programming-file>\n");
    return 2;
  }
  int port = open(argv[1], O_RDWR | O_NOCTTY);
  termios raw;
  tcgetattr(port, &raw);
  cfmakeraw(&raw);
  tcsetattr(port, TCSANOW, &raw);
  std::ifstream file(argv[2], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (write(port, text.data() + start, end - start + 1) < 0)
      return 2;
    char reply;
    if (read(port, &reply, 1) != 1)
      return 2;
    start = end + 1;
  }
  return 0;
}
