#include "serial_port.h"

#include "../driver/platform.h"
#include "../driver/report.h"
#include "send_progress.h"
#include "synchronize.h"

HANDLE serial_port = INVALID_HANDLE_VALUE;
const char *port_name = "";
uint32_t bytes_sent = 0;

// Fetched once at opening; only its read fields change after that, so the
// write time-outs stay as the port had them (but while a person watches an
// upload: see watch_sending).
static COMMTIMEOUTS port_timeouts;
static bool writes_timed_for_progress = false;

static_assert(sizeof(COMMCONFIG) == 52, "the configuration record is passed as 52 bytes");

// Flags another program may have left set, each of which alters or stops
// reception: a read failing after one framing error until ClearCommError,
// bytes dropped while DSR is low, NULs dropped, bytes with a parity error
// replaced. The port is raw binary, as on every platform; the settings
// string may still ask for DSR sensitivity ("idsr=on").
static void clear_reception_flags(DCB *dcb) {
  dcb->fAbortOnError = FALSE;
  dcb->fDsrSensitivity = FALSE;
  dcb->fNull = FALSE;
  dcb->fErrorChar = FALSE;
}

static void apply_settings(const char *settings) {
  COMMCONFIG config = {};
  DWORD config_size = sizeof(COMMCONFIG);
  if (!GetCommConfig(serial_port, &config, &config_size))
    report_and_exit(GET_CONFIG_FAILED, port_name, last_error_code());
  clear_reception_flags(&config.dcb);
  // Edits the fetched DCB in place: what the string leaves alone keeps its value.
  if (!BuildCommDCBA(settings, &config.dcb))
    report_and_exit(CONFIG_ERROR, port_name, last_error_code());
  if (!SetCommConfig(serial_port, &config, config_size))
    report_and_exit(SET_CONFIG_FAILED, port_name, last_error_code());
}

void open_serial_port(const char *name, const char *settings) {
  port_name = name;
  serial_port =
      CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (serial_port == INVALID_HANDLE_VALUE)
    report_and_exit(OPEN_PORT_FAILED, port_name, last_error_code());
  prefer_low_latency(serial_port);
  // An error state left from before would fail reads with fAbortOnError.
  ClearCommError(serial_port, NULL, NULL);
  if (!GetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit(GET_TIMEOUTS_FAILED, port_name, last_error_code());
  set_read_timeout(SYNC_TIMEOUT_MS);
  apply_settings(settings);
}

static void apply_timeouts(COMMTIMEOUTS *timeouts) {
  if (!SetCommTimeouts(serial_port, timeouts))
    report_and_exit(SET_TIMEOUTS_FAILED, port_name, last_error_code());
}

void set_read_timeout(DWORD total_ms) {
  port_timeouts.ReadIntervalTimeout = 0;
  port_timeouts.ReadTotalTimeoutMultiplier = 0;
  port_timeouts.ReadTotalTimeoutConstant = total_ms;
  apply_timeouts(&port_timeouts);
}

// While a person watches, each write returns after about a redraw's time
// with what the driver took (a write time-out ends a write as success with
// fewer bytes), so that the progress moves at the line's pace whatever its
// speed. A port with write time-outs of its own keeps them.
void watch_sending(uint32_t total) {
  if (!begin_progress(total) || port_timeouts.WriteTotalTimeoutMultiplier != 0 ||
      port_timeouts.WriteTotalTimeoutConstant != 0)
    return;
  COMMTIMEOUTS redraw = port_timeouts;
  redraw.WriteTotalTimeoutConstant = REDRAW_MS;
  apply_timeouts(&redraw);
  writes_timed_for_progress = true;
}

// "Sent" is what has left the port: what the driver still queues is not.
static uint32_t left_port(uint32_t written) {
  COMSTAT status = {};
  if (!ClearCommError(serial_port, NULL, &status) || status.cbOutQue > written)
    return written;
  return written - status.cbOutQue;
}

void end_watching() {
  if (writes_timed_for_progress)
    apply_timeouts(&port_timeouts);
  writes_timed_for_progress = false;
  end_progress();
}

void send_bytes(const void *data, uint32_t length) {
  const BYTE *bytes = static_cast<const BYTE *>(data);
  uint32_t done = 0;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(serial_port, bytes + done, length - done, &written, NULL))
      report_and_exit(WRITE_FAILED, port_name, last_error_code());
    // Nothing written under the port's own write time-out means the line
    // stays blocked; trying again would only loop for as long as it does.
    if (written == 0 && !writes_timed_for_progress)
      report_and_exit(WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
    done += written;
    if (progress_shown())
      show_progress(left_port(done));
  }
  bytes_sent += length;
}

// A write returns once the driver holds the bytes, not once they have left:
// only this waits for the line, bounded by the port's write time-outs.
void wait_until_sent() {
  if (!FlushFileBuffers(serial_port))
    report_and_exit(WRITE_FAILED, port_name, last_error_code());
}

received_byte receive_byte() {
  received_byte reply = {};
  reply.ok = ReadFile(serial_port, &reply.value, 1, &reply.count, NULL);
  if (!reply.ok)
    reply.error_code = last_error_code();
  return reply;
}
