#include "serial_port.h"

#include <cstdio>
#include <cstdlib>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"
#include "../platform/platform.h"

HANDLE serial_port = INVALID_HANDLE_VALUE;
const char *port_name = "";
uint32_t bytes_sent = 0;

// Fetched once at opening; only its read fields change after that, so the
// write time-outs stay as the port had them, unless a write time-out was
// asked for: then the way out puts them back as found.
static COMMTIMEOUTS port_timeouts;
static DWORD asked_write_limit = 0; // ms, 0: none asked
static uint32_t line_speed = 0;     // bytes a second, at the settings applied

static const DWORD PORT_RETRY_MS = 250;

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

// A reset sequence drives its lines itself: they stay cleared (idle)
// through the settings, and a line the settings give to handshake is no
// line it may drive.
static void keep_driven_lines_idle(const port_choices &choices, DCB *dcb) {
  if (choices.drives_dtr && dcb->fDtrControl == DTR_CONTROL_HANDSHAKE)
    report_and_exit(&LINE_IN_HANDSHAKE, port_name, "DTR");
  if (choices.drives_rts &&
      (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE || dcb->fRtsControl == RTS_CONTROL_TOGGLE))
    report_and_exit(&LINE_IN_HANDSHAKE, port_name, "RTS");
  if (choices.drives_dtr)
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
  if (choices.drives_rts)
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
}

static void apply_settings(const char *settings, const port_choices &choices) {
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
  keep_driven_lines_idle(choices, &config.dcb);
  if (!SetCommConfig(serial_port, &config, config_size))
    report_and_exit(&SET_CONFIG_FAILED, port_name, last_error_code());
  line_speed = bytes_per_second(config.dcb);
}

// Opens the port, and where asked, waits while it is not there or another
// program has it, trying again every 250 ms; any other refusal (no
// permission) fails at once.
static void open_port(const port_choices &choices) {
  unsigned waited_for = 0;
  for (DWORD waited = 0;; waited += PORT_RETRY_MS) {
    unsigned refused = claim_port_name(port_name);
    if (refused == 0) {
      serial_port =
          CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
      if (serial_port != INVALID_HANDLE_VALUE)
        break;
      refused = last_error_code();
    }
    bool may_come = port_is_missing(refused) || port_is_busy(refused);
    if (!choices.waits || !may_come || (choices.wait_ms != 0 && waited >= choices.wait_ms))
      report_and_exit(&OPEN_PORT_FAILED, port_name, refused);
    // Said again only where the reason changes: a log gets a line each.
    if (refused != waited_for)
      show_status("waiting for %s\t: %s", port_name,
                  port_is_missing(refused) ? "not there yet" : "another program has it");
    waited_for = refused;
    Sleep(PORT_RETRY_MS);
  }
  clear_status();
}

// The lines a reset sequence drives go to their idle level (cleared) as soon
// as the port is open, where Linux and macOS have just raised them, and keep
// the level the run leaves them at when the port closes.
static void take_driven_lines(const port_choices &choices) {
  if ((choices.drives_dtr && !EscapeCommFunction(serial_port, CLRDTR)) ||
      (choices.drives_rts && !EscapeCommFunction(serial_port, CLRRTS)))
    report_and_exit(&NO_MODEM_LINES, port_name, last_error_code());
  if (choices.drives_dtr || choices.drives_rts)
    keep_lines_after_run(serial_port);
}

// A write time-out ends a write that nothing leaves for that long; the
// port's own are put back however the run ends, as Windows keeps them.
static void limit_writes(DWORD write_timeout_ms) {
  if (write_timeout_ms == 0)
    return;
  asked_write_limit = write_timeout_ms;
  keep_found_timeouts(serial_port, port_timeouts);
  port_timeouts.WriteTotalTimeoutMultiplier = 0;
  port_timeouts.WriteTotalTimeoutConstant = write_timeout_ms;
}

// The settings as the driver holds them now, in words, for the record.
static void note_settings_read_back(const char *settings) {
  COMMCONFIG config = {};
  DWORD size = sizeof config;
  if (!recording() || !GetCommConfig(serial_port, &config, &size))
    return;
  static const char *const PARITIES[] = {"none", "odd", "even", "mark", "space"};
  static const char *const STOP_BITS[] = {"1", "1.5", "2"};
  static const char *const LEVELS[] = {"off", "on", "handshake", "toggle"};
  const DCB &dcb = config.dcb;
  const char *flow = dcb.fOutxCtsFlow        ? "CTS flow control"
                     : dcb.fOutX || dcb.fInX ? "XON/XOFF flow control"
                     : dcb.fOutxDsrFlow      ? "DSR flow control"
                                             : "no flow control";
  snprintf(facts.settings_read_back, sizeof facts.settings_read_back,
           "%lu baud, %u data bits, parity %s, stop bits %s, %s, DTR %s, RTS %s",
           (unsigned long)dcb.BaudRate, dcb.ByteSize, PARITIES[dcb.Parity % 5],
           STOP_BITS[dcb.StopBits % 3], flow, LEVELS[dcb.fDtrControl], LEVELS[dcb.fRtsControl]);
  trace("settings \"%s\", read back: %s", settings, facts.settings_read_back);
}

void open_serial_port(const char *name, const char *settings, const port_choices &choices) {
  port_name = name;
  open_port(choices);
  trace("port %s opened", port_name);
  take_driven_lines(choices);
  prefer_low_latency(serial_port);
  // An error state left from before would fail reads with fAbortOnError.
  ClearCommError(serial_port, NULL, NULL);
  if (!GetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit(&GET_TIMEOUTS_FAILED, port_name, last_error_code());
  limit_writes(choices.write_timeout_ms);
  set_read_timeout(OPENING_READ_TIMEOUT_MS);
  apply_settings(settings, choices);
  note_settings_read_back(settings);
}

DWORD write_time_limit() {
  return asked_write_limit;
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

// The record counts what the port took, write by write, a failing write's
// part too, so that a run that fails or is stopped tells how far it came.
DWORD write_to_port(const BYTE *bytes, DWORD count) {
  DWORD written = 0;
  BOOL ok = WriteFile(serial_port, bytes, count, &written, NULL);
  facts.bytes_sent = facts.bytes_sent + written;
  if (!ok)
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
