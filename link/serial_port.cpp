// The serial port for the whole run: opening it (waiting for it where
// asked), the order of its set-up, its time-outs, and the primitives that
// sending and receiving are made of.
#include "serial_port.h"

#include <cstdio>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"
#include "../platform/platform.h"
#include "port_settings.h"

HANDLE serial_port = INVALID_HANDLE_VALUE;
const char *port_name = "";
uint32_t bytes_sent = 0;

// The time-outs are fetched once at opening, and only their read fields
// change after that, so the write time-outs stay as the port had them;
// where a write time-out is asked for, the way out puts them back as found.
static COMMTIMEOUTS port_timeouts;
static DWORD asked_write_limit = 0; // ms, 0: none asked
static uint32_t line_speed = 0;     // bytes a second, at the settings applied

static const DWORD PORT_RETRY_MS = 250;
// How often a reply's wait looks at the driver's queue under a write
// time-out.
static const DWORD REPLY_SLICE_MS = 100;
// The longest a single write waits under a write time-out: between two
// writes the sending judges whether anything left the port meanwhile.
static const DWORD WRITE_SLICE_MS = 100;

static void apply_timeouts() {
  if (!SetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit(&SET_TIMEOUTS_FAILED, port_name, last_error_code());
}

// Opens the port and claims it for this run; a second run on it is refused
// as Windows refuses it (Wine would let it in). Gives the refusal's code, or
// 0 with the device opened in `device`.
static unsigned try_to_open(const port_choices &choices, std::string *device) {
  unsigned refused = 0;
  *device = port_name;
  if (choices.find_device && !choices.find_device(device, &refused))
    return refused;
  serial_port =
      CreateFileA(device->c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (serial_port == INVALID_HANDLE_VALUE)
    return last_error_code();
  port_opened(device->c_str());
  refused = claim_port(serial_port, device->c_str());
  if (refused != 0) {
    CloseHandle(serial_port);
    serial_port = INVALID_HANDLE_VALUE;
  }
  return refused;
}

// Whether a refusal may pass while the run waits for its port: a port not
// there yet or that another program has, and for a while a new node that
// may not be used yet.
static bool may_pass(unsigned refused, DWORD waited) {
  return port_is_missing(refused) || port_is_busy(refused) ||
         (port_is_forbidden(refused) && waited < PERMISSION_SETTLES_MS);
}

// Opens the port, and where asked, waits while it is not there or another
// program has it, trying again every 250 ms; any other refusal fails at once.
// Gives the device opened.
static std::string open_port(const port_choices &choices) {
  unsigned waited_for = 0;
  std::string device;
  for (DWORD waited = 0;; waited += PORT_RETRY_MS) {
    unsigned refused = try_to_open(choices, &device);
    if (refused == 0)
      break;
    if (!choices.waits || !may_pass(refused, waited) ||
        (choices.wait_ms != 0 && waited >= choices.wait_ms))
      report_and_exit(&OPEN_PORT_FAILED, port_name, refused);
    // A log gets a line each time the reason changes, not each try.
    if (refused != waited_for)
      show_status("waiting for %s\t: %s", port_name,
                  port_is_busy(refused) ? "another program has it" : "not there yet");
    waited_for = refused;
    Sleep(PORT_RETRY_MS);
  }
  clear_status();
  return device;
}

// The lines that a reset sequence drives keep the level the run leaves
// them at when the port closes.
static void hold_driven_lines(const port_choices &choices) {
  if (choices.drives_dtr || choices.drives_rts)
    keep_lines_after_run(serial_port);
}

// A write time-out is judged by the sending between writes of a slice each;
// the port's own time-outs are put back however the run ends, as Windows
// keeps them.
static void limit_writes(DWORD write_timeout_ms) {
  if (write_timeout_ms == 0)
    return;
  asked_write_limit = write_timeout_ms;
  keep_found_timeouts(serial_port, port_timeouts);
  port_timeouts.WriteTotalTimeoutMultiplier = 0;
  port_timeouts.WriteTotalTimeoutConstant =
      write_timeout_ms < WRITE_SLICE_MS ? write_timeout_ms : WRITE_SLICE_MS;
  apply_timeouts();
}

// Every check of the settings and the options comes before anything is
// changed on the port: a refused run leaves its lines and flags as it
// found them.
std::string open_serial_port(const char *name, const char *settings, const port_choices &choices) {
  port_name = name;
  std::string device = open_port(choices);
  if (device == port_name)
    trace("port %s opened", port_name);
  else
    trace("port %s opened as %s", port_name, device.c_str());
  // An error state left from before would fail reads with fAbortOnError.
  ClearCommError(serial_port, NULL, NULL);
  if (!GetCommTimeouts(serial_port, &port_timeouts))
    report_and_exit(&GET_TIMEOUTS_FAILED, port_name, last_error_code());
  set_read_timeout(OPENING_READ_TIMEOUT_MS);
  DWORD size = 0;
  COMMCONFIG config = settings_for_port(settings, choices, &size);
  line_speed = apply_port_settings(&config, size);
  hold_driven_lines(choices);
  limit_writes(choices.write_timeout_ms);
  prefer_low_latency(serial_port);
  note_settings_read_back(settings);
  return device;
}

// What a board's firmware watches for is the 1200-baud line coding with
// DTR dropped; the close follows at once.
std::string touch_port(const char *name, const char *settings, const port_choices &choices) {
  const DWORD TOUCH_BAUD = 1200;
  port_name = name;
  std::string device = open_port(choices);
  DWORD size = 0;
  COMMCONFIG config = settings_for_port(settings, choices, &size);
  apply_port_settings(&config, size);
  config.dcb.BaudRate = TOUCH_BAUD;
  config.dcb.fDtrControl = DTR_CONTROL_DISABLE;
  apply_port_settings(&config, size);
  CloseHandle(serial_port);
  serial_port = INVALID_HANDLE_VALUE;
  return device;
}

DWORD write_time_limit() {
  return asked_write_limit;
}

void set_read_timeout(DWORD total_ms) {
  if (port_timeouts.ReadIntervalTimeout == 0 && port_timeouts.ReadTotalTimeoutMultiplier == 0 &&
      port_timeouts.ReadTotalTimeoutConstant == total_ms && total_ms != 0)
    return;
  port_timeouts.ReadIntervalTimeout = 0;
  port_timeouts.ReadTotalTimeoutMultiplier = 0;
  port_timeouts.ReadTotalTimeoutConstant = total_ms;
  apply_timeouts();
}

// The record counts what the port took, write by write, a failing write's
// part too, so that a run that fails or is stopped tells how far it came.
// Some USB drivers on Windows fail a write that timed out with 121 rather
// than take fewer bytes.
DWORD write_to_port(const BYTE *bytes, DWORD count) {
  DWORD written = 0;
  BOOL ok = WriteFile(serial_port, bytes, count, &written, NULL);
  count_bytes_taken(written);
  if (!ok && !(asked_write_limit != 0 && GetLastError() == ERROR_SEM_TIMEOUT))
    report_and_exit(&WRITE_FAILED, port_name, last_error_code());
  // Nothing written under the port's own write time-outs, as another program
  // left them, means the line stays blocked: trying again would only loop
  // for as long as it does.
  if (written == 0 && asked_write_limit == 0)
    report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
  return written;
}

bool output_queued(DWORD *queued) {
  COMSTAT status = {};
  if (!ClearCommError(serial_port, NULL, &status))
    return false;
  *queued = status.cbOutQue;
  return true;
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

// Without a write time-out the wait is the port's own read time-out, set by
// the caller. With one, the reply is read a slice at a time, and between
// slices the driver's queue is looked at: bytes that sit there (XOFF, CTS
// held low, a device that stopped reading) never reach the target, whose
// reply then never comes.
received_byte receive_reply(DWORD wait_ms) {
  if (asked_write_limit == 0)
    return receive_byte();
  set_read_timeout(wait_ms != 0 && wait_ms < REPLY_SLICE_MS ? wait_ms : REPLY_SLICE_MS);
  record_moment started = moment_now(), moved = started;
  DWORD before = 0;
  for (;;) {
    received_byte reply = receive_byte();
    if (!reply.ok || reply.count == 1 || (wait_ms != 0 && ms_since(started) >= wait_ms))
      return reply;
    DWORD queued = 0;
    if (!output_queued(&queued) || queued == 0 || queued < before)
      moved = moment_now();
    before = queued;
    if (ms_since(moved) >= asked_write_limit)
      report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
  }
}

BOOL write_request(BYTE request, unsigned *error_code) {
  record_moment started = moment_now();
  for (;;) {
    DWORD written = 0;
    BOOL ok = WriteFile(serial_port, &request, 1, &written, NULL);
    if (!ok && !(asked_write_limit != 0 && GetLastError() == ERROR_SEM_TIMEOUT)) {
      *error_code = last_error_code();
      return FALSE;
    }
    // Without a write time-out the count is not looked at, as ever.
    if (written == 1 || asked_write_limit == 0)
      return TRUE;
    if (ms_since(started) >= asked_write_limit)
      report_and_exit(&WRITE_FAILED, port_name, (unsigned)ERROR_TIMEOUT);
  }
}
