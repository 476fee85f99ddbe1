// The one way out of a run, for an ending and for a stop.
#include "way_out.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "../platform/platform.h"
#include "image_hash.h"
#include "progress_json.h"
#include "run_record.h"
#include "status_line.h"

static std::atomic<bool> leaving(false);

// One ending at a time: a stop that comes while the run is already on its
// way out (on Windows, on the console's own thread) waits for that to end
// the process, and so does a run that ends while a stop is being handled.
static void take_the_door() {
  bool first = false;
  if (leaving.compare_exchange_strong(first, true))
    return;
  for (;;)
    Sleep(60 * 60 * 1000);
}

bool leaving_already() {
  return leaving;
}

static void (*stop_beside)() = nullptr;

void stop_on_the_way_out(void (*stop)()) {
  stop_beside = stop;
}

void leave(int status) {
  hold_stops();
  take_the_door();
  if (stop_beside != nullptr)
    stop_beside();
  stop_hash();
  put_back_what_the_run_changed();
  status = finish_records(status);
  stop_drawing();
  stop_progress_json();
  exit(status); // a normal exit, so standard output is flushed
}

// The report first: under Wine a further SIGQUIT may end this thread at
// any moment.
void leave_stopped_again(const char *stopped_by, int how) {
  erase_status_at_once();
  finish_records_at_once(stopped_by);
  put_back_what_the_run_changed();
  end_stopped(how);
}

void leave_stopped(const char *stopped_by, int how) {
  take_the_door();
  leave_stopped_again(stopped_by, how);
}
