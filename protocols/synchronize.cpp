// The handshake: 0xAA until the target answers K, with a reset before each
// attempt where one is asked.
#include "synchronize.h"

#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"

// The board is reset into its boot loader; what it sent meanwhile (a boot
// banner) is no reply, and only then is the input emptied.
static void enter_boot_loader(const line_sequence &entry) {
  run_line_sequence(entry);
  if (!PurgeComm(serial_port, PURGE_RXCLEAR))
    report_and_exit(&READ_FAILED, port_name, last_error_code());
}

static void show_waiting(int next_attempt, int attempts) {
  if (attempts == 0)
    show_status("waiting for the target: attempt %d\t (put the board in its boot loader)",
                next_attempt);
  else
    show_status("waiting for the target: attempt %d of %d\t (put the board in its boot loader)",
                next_attempt, attempts);
}

static void note_reply(int attempt, const received_byte &reply, record_moment sent) {
  if (!tracing())
    return;
  long long waited = ms_since(sent);
  if (reply.count == 1)
    trace("handshake attempt %d: 0x%02X received after %lld ms", attempt, reply.value, waited);
  else
    trace("handshake attempt %d: no reply after %lld ms", attempt, waited);
}

// The request goes straight to the port: it is no part of bytes_sent.
// Without a reset sequence the input is not purged, so a reply already
// waiting counts.
void synchronize(const handshake_choices &choices) {
  if (choices.attempt_ms != SYNC_TIMEOUT_MS)
    set_read_timeout(choices.attempt_ms);
  for (int attempt = 1; choices.attempts == 0 || attempt <= choices.attempts; attempt++) {
    if (choices.entry != NULL)
      enter_boot_loader(*choices.entry);
    count_handshake_attempt(attempt);
    trace("handshake attempt %d: 0x%02X sent", attempt, SYNC_REQUEST);
    record_moment sent = moment_now();
    unsigned error = 0;
    if (!write_request(SYNC_REQUEST, &error))
      report_and_exit(&WRITE_FAILED, port_name, error);
    received_byte reply = receive_reply(choices.attempt_ms);
    if (!reply.ok)
      report_and_exit(&READ_FAILED, port_name, reply.error_code);
    note_reply(attempt, reply, sent);
    if (reply.count == 1 && reply.value == SYNC_REPLY) {
      clear_status();
      return;
    }
    if (choices.attempts == 0 || attempt < choices.attempts)
      show_waiting(attempt + 1, choices.attempts);
  }
  report_and_exit(&SYNC_FAILED);
}
