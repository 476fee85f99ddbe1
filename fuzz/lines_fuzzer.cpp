// Fuzzes the programming file's line reader against the plain model of its
// lines. The first byte picks the size of the chunks the file is read in, so
// that chunk boundaries fall everywhere, between CR and LF too.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "../tests/text_lines_model.h"

static const size_t CHUNK_CHOICES = 17;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0)
    return 0;
  static int file = memfd_create("programming-file", 0);
  static std::string path = "/proc/self/fd/" + std::to_string(file);
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (ftruncate(file, 0) != 0 || pwrite(file, text.data(), text.size(), 0) != (ssize_t)text.size())
    __builtin_trap();
  DWORD chunk = 1 + data[0] % CHUNK_CHOICES;
  if (reader_lines(path.c_str(), chunk) != model_lines(text))
    __builtin_trap();
  return 0;
}
