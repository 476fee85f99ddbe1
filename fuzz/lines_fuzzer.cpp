// Fuzzes the programming file's line reader against the plain model of its
// lines. The first byte picks where the reader's chunk boundary falls in
// the text, behind a first line of filler, so that boundaries fall
// everywhere, between CR and LF too.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "../tests/text_lines_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  static int file = memfd_create("programming-file", 0);
  static std::string path = "/proc/self/fd/" + std::to_string(file);
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  std::string filler = boundary_at(data[0] % (text.size() + 1));
  text = filler + text;
  if (ftruncate(file, 0) != 0 || pwrite(file, text.data(), text.size(), 0) != (ssize_t)text.size())
    __builtin_trap();
  if (reader_lines(path.c_str()) != model_lines(text))
    __builtin_trap();
  return 0;
}
