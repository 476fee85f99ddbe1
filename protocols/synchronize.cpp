#include "synchronize.h"

#include "../base/report.h"
#include "../base/status_line.h"
#include "../link/serial_port.h"

// The request goes straight to the port: it is no part of bytes_sent. The
// input is not purged first, so a reply already waiting counts.
void synchronize() {
  for (int attempt = 0; attempt < SYNC_ATTEMPTS; attempt++) {
    DWORD written = 0;
    if (!WriteFile(serial_port, &SYNC_REQUEST, 1, &written, NULL))
      report_and_exit(&WRITE_FAILED, port_name, last_error_code());
    received_byte reply = receive_byte();
    if (!reply.ok)
      report_and_exit(&READ_FAILED, port_name, reply.error_code);
    if (reply.count == 1 && reply.value == SYNC_REPLY) {
      clear_status();
      return;
    }
    if (attempt + 1 < SYNC_ATTEMPTS)
      show_status("waiting for the target: attempt %d of %d\t (put the board in its boot loader)",
                  attempt + 2, SYNC_ATTEMPTS);
  }
  report_and_exit(&SYNC_FAILED);
}
