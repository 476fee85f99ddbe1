// Line programming: each line of the programming file, its reply, its mark.
#include "program_lines.h"

#include <cstdio>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../link/sending.h"
#include "../link/serial_port.h"
#include "text_lines.h"

// The target's reply to a line.
const BYTE REPLY_ACCEPTED = 1;
const BYTE REPLY_WRITTEN = 2;
const BYTE REPLY_BUSY_FIRST = 3; // 3 to 5: "B", send the line again
const BYTE REPLY_BUSY_LAST = 5;
const BYTE REPLY_ERROR = 6; // "E", send the line again

const char LINE_END = '\n';
const uint32_t MAX_SEND = 1u << 30; // one send_bytes takes a 32-bit length

// The line and its LF go out together, written into the spare byte behind
// the line: the same bytes as two writes, but the target wakes once a line.
static void send_line(text_file *file) {
  char *bytes = file->line;
  size_t length = file->line_length + 1;
  bytes[file->line_length] = LINE_END;
  while (length > 0) {
    uint32_t piece = length < MAX_SEND ? (uint32_t)length : MAX_SEND;
    send_bytes(bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

static BYTE await_reply(DWORD reply_timeout_ms) {
  received_byte reply = receive_reply(reply_timeout_ms);
  if (!reply.ok)
    report_and_exit(&READ_FAILED, port_name, reply.error_code);
  if (reply.count == 0)
    report_and_exit(&NOTHING_READ, port_name);
  return reply.value;
}

// Prints the mark of a reply and counts the nacks.
static void print_mark(BYTE reply, uint32_t *nack_count) {
  if (reply == REPLY_ACCEPTED) {
    printf("#");
  } else if (reply >= REPLY_BUSY_FIRST && reply <= REPLY_BUSY_LAST) {
    printf("B");
    (*nack_count)++;
  } else if (reply == REPLY_ERROR) {
    printf("E");
    (*nack_count)++;
  } else {
    printf("%c", reply);
  }
}

static void note_reply(uint32_t number, size_t length, BYTE reply, record_moment sent) {
  if (!tracing())
    return;
  long long waited = ms_since(sent);
  trace("line %lu: %lu bytes, reply 0x%02X after %lld ms", (unsigned long)number,
        (unsigned long)length, reply, waited);
}

// Sends the line until the target accepts it (true) or reports that it has
// written what it was sent (false). Each mark shows as its reply arrives.
static bool send_until_accepted(text_file *file, uint32_t number, uint32_t *nack_count,
                                DWORD reply_timeout_ms) {
  for (;;) {
    record_moment sent;
    if (tracing())
      sent = moment_now();
    send_line(file);
    BYTE reply = await_reply(reply_timeout_ms);
    note_reply(number, file->line_length, reply, sent);
    if (reply == REPLY_WRITTEN)
      return false;
    print_mark(reply, nack_count);
    count_nacks(*nack_count);
    fflush(stdout);
    if (reply == REPLY_ACCEPTED)
      return true;
  }
}

void program_lines(const char *path, DWORD reply_timeout_ms) {
  set_read_timeout(reply_timeout_ms);
  static text_file file; // large: it holds the read chunk
  open_text_file(&file, path);
  uint32_t nack_count = 0;
  for (uint32_t number = 1; read_text_line(&file); number++) {
    count_line(number);
    if (!send_until_accepted(&file, number, &nack_count, reply_timeout_ms)) {
      printf("written OK\n");
      close_text_file(&file);
      return;
    }
  }
  // The wording is exact ("nack received." whatever the count): scripts
  // match it.
  printf("\nprogramming complete, %u nack received.\n", nack_count);
  close_text_file(&file);
}
