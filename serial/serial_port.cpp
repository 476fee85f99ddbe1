#include "serial_port.h"

#include "../driver/report.h"
#include "send_progress.h"
#include "synchronize.h"

HANDLE serial_port = INVALID_HANDLE_VALUE;
const char *port_name = "";
uint32_t bytes_sent = 0;

// Fetched once at opening; only its read fields change after that, so the
// write time-outs stay as the port had them.
static COMMTIMEOUTS port_timeouts;

static_assert(sizeof(COMMCONFIG) == 52, "the configuration record is passed as 52 bytes");

static void apply_settings(const char *settings) {
  COMMCONFIG config = {};
  DWORD config_size = sizeof(COMMCONFIG);
  if (!GetCommConfig(serial_port, &config, &config_size))
    report_and_exit("fail to get %s config: %u\n", port_name, last_error_code());
  // Edits the fetched DCB in place: what the string leaves alone keeps its value.
  if (!BuildCommDCBA(settings, &config.dcb))
    report_and_exit("%s config error: %u\n", port_name, last_error_code());
  if (!SetCommConfig(serial_port, &config, config_size))
    report_and_exit("fail to set %s config: %u\n", port_name, last_error_code());
}

void open_serial_port(const char *name, const char *settings) {
  port_name = name;
  serial_port =
      CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (serial_port == INVALID_HANDLE_VALUE)
    report_and_exit("fail to open %s : %u\n", port_name, last_error_code());
  if (!GetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit("fail to get %s timeouts: %u\n", port_name, last_error_code());
  set_read_timeout(SYNC_TIMEOUT_MS);
  apply_settings(settings);
}

void set_read_timeout(DWORD total_ms) {
  port_timeouts.ReadIntervalTimeout = 0;
  port_timeouts.ReadTotalTimeoutMultiplier = 0;
  port_timeouts.ReadTotalTimeoutConstant = total_ms;
  if (!SetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit("fail to set %s timeouts: %u\n", port_name, last_error_code());
}

void send_bytes(const void *data, uint32_t length) {
  const BYTE *bytes = static_cast<const BYTE *>(data);
  uint32_t done = 0;
  send_progress progress;
  begin_progress(&progress, length);
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(serial_port, bytes + done, next_piece(&progress, length - done), &written, NULL))
      report_and_exit("fail to write to %s : %u\n", port_name, last_error_code());
    // Nothing written means the port's own write time-out ran out; trying
    // again would only loop for as long as the line stays blocked.
    if (written == 0)
      report_and_exit("fail to write to %s : %u\n", port_name, (unsigned)ERROR_TIMEOUT);
    done += written;
    piece_written(&progress, done);
  }
  end_progress(&progress);
  bytes_sent += length;
}

received_byte receive_byte() {
  received_byte reply = {};
  reply.ok = ReadFile(serial_port, &reply.value, 1, &reply.count, NULL);
  if (!reply.ok)
    reply.error_code = last_error_code();
  return reply;
}
