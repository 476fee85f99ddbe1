// What the run changed on the port, kept so that it can be put back in one
// place however the run ends.
#include "platform.h"

static HANDLE changed_port = INVALID_HANDLE_VALUE;
static COMMTIMEOUTS found_timeouts;

void keep_found_timeouts(HANDLE port, const COMMTIMEOUTS &found) {
  found_timeouts = found;
  changed_port = port;
}

void put_back_what_the_run_changed() {
  if (changed_port != INVALID_HANDLE_VALUE)
    SetCommTimeouts(changed_port, &found_timeouts);
  changed_port = INVALID_HANDLE_VALUE;
  put_back_system_state();
}
