#include "serial_port.h"

#include "../base/report.h"
#include "../platform/platform.h"

HANDLE serial_port = INVALID_HANDLE_VALUE;
const char *port_name = "";
uint32_t bytes_sent = 0;

// Fetched once at opening; only its read fields change after that, so the
// write time-outs stay as the port had them.
static COMMTIMEOUTS port_timeouts;
static uint32_t line_speed = 0; // bytes a second, at the settings applied

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

// A character on the line is a start bit, the data bits, a parity bit
// where there is parity, and the stop bits (one and a half counted as two).
static uint32_t bytes_per_second(const DCB &dcb) {
  uint32_t bits =
      1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) + (dcb.StopBits == ONESTOPBIT ? 1 : 2);
  return dcb.BaudRate / bits;
}

static void apply_settings(const char *settings) {
  COMMCONFIG config = {};
  DWORD config_size = sizeof(COMMCONFIG);
  if (!GetCommConfig(serial_port, &config, &config_size))
    report_and_exit(&GET_CONFIG_FAILED, port_name, last_error_code());
  clear_reception_flags(&config.dcb);
  // Edits the fetched DCB in place: what the string leaves alone keeps its value.
  if (!BuildCommDCBA(settings, &config.dcb))
    report_and_exit(&CONFIG_ERROR, port_name, last_error_code());
  // Speed 0 is no speed, and Windows refuses it, but Wine takes it and
  // loads at whatever speed the line had: refused here, with Windows' code.
  if (config.dcb.BaudRate == 0)
    report_and_exit(&SET_CONFIG_FAILED, port_name, (unsigned)ERROR_INVALID_PARAMETER);
  if (!SetCommConfig(serial_port, &config, config_size))
    report_and_exit(&SET_CONFIG_FAILED, port_name, last_error_code());
  line_speed = bytes_per_second(config.dcb);
}

void open_serial_port(const char *name, const char *settings) {
  port_name = name;
  if (unsigned refused = claim_port_name(port_name))
    report_and_exit(&OPEN_PORT_FAILED, port_name, refused);
  serial_port =
      CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (serial_port == INVALID_HANDLE_VALUE)
    report_and_exit(&OPEN_PORT_FAILED, port_name, last_error_code());
  prefer_low_latency(serial_port);
  // An error state left from before would fail reads with fAbortOnError.
  ClearCommError(serial_port, NULL, NULL);
  if (!GetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit(&GET_TIMEOUTS_FAILED, port_name, last_error_code());
  set_read_timeout(OPENING_READ_TIMEOUT_MS);
  apply_settings(settings);
}

static void apply_timeouts(COMMTIMEOUTS *timeouts) {
  if (!SetCommTimeouts(serial_port, timeouts))
    report_and_exit(&SET_TIMEOUTS_FAILED, port_name, last_error_code());
}

void set_read_timeout(DWORD total_ms) {
  port_timeouts.ReadIntervalTimeout = 0;
  port_timeouts.ReadTotalTimeoutMultiplier = 0;
  port_timeouts.ReadTotalTimeoutConstant = total_ms;
  apply_timeouts(&port_timeouts);
}

DWORD write_to_port(const BYTE *bytes, DWORD count) {
  DWORD written = 0;
  if (!WriteFile(serial_port, bytes, count, &written, NULL))
    report_and_exit(&WRITE_FAILED, port_name, last_error_code());
  // Nothing written under the port's own write time-out means the line
  // stays blocked; trying again would only loop for as long as it does.
  if (written == 0)
    report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
  return written;
}

DWORD output_queued() {
  COMSTAT status = {};
  if (!ClearCommError(serial_port, NULL, &status))
    report_and_exit(&WRITE_FAILED, port_name, last_error_code());
  return status.cbOutQue;
}

uint32_t line_bytes_per_second() {
  return line_speed;
}

received_byte receive_byte() {
  received_byte reply = {};
  reply.ok = ReadFile(serial_port, &reply.value, 1, &reply.count, NULL);
  if (!reply.ok)
    reply.error_code = last_error_code();
  return reply;
}
