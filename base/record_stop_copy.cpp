// Two buffers, so that one is whole while the other is made, and none made
// once a stop has begun to read.
#include "record_stop_copy.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

static char *copies[2] = {nullptr, nullptr};
static size_t head_lengths[2] = {0, 0};
static std::atomic<int> ready(-1);
static std::atomic<bool> stop_reading(false);

void keep_stop_copy_ready(const std::string &head) {
  if (stop_reading)
    return;
  int slot = ready == 0 ? 1 : 0;
  char *copy = static_cast<char *>(realloc(copies[slot], head.size() + STOPPED_TAIL_ROOM));
  if (copy == nullptr || stop_reading)
    return;
  memcpy(copy, head.data(), head.size());
  copies[slot] = copy;
  head_lengths[slot] = head.size();
  ready = slot;
}

bool write_stop_copy(record_place *place, const report_counts &counts, const char *phase,
                     const char *stopped_by) {
  stop_reading = true;
  int slot = ready;
  if (slot < 0)
    return false;
  char *whole = copies[slot];
  size_t length = head_lengths[slot];
  length += stopped_tail(whole + length, STOPPED_TAIL_ROOM, counts, phase, stopped_by);
  const char *parts[] = {whole};
  return replace_whole(place, parts, &length, 1);
}
