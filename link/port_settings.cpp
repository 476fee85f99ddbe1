// The settings string made into the port's configuration, checked before
// anything on the port changes.
#include "port_settings.h"

#include <cstdio>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../platform/platform.h"

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
// line it may drive. On Linux and macOS CTS flow control (octs=on) gives
// RTS to the kernel too, which would then fight the sequence.
static void keep_driven_lines_idle(const port_choices &choices, DCB *dcb) {
  if (choices.drives_dtr && dcb->fDtrControl == DTR_CONTROL_HANDSHAKE)
    report_and_exit(&LINE_IN_HANDSHAKE, port_name, "DTR");
  if (choices.drives_rts &&
      (dcb->fRtsControl == RTS_CONTROL_HANDSHAKE || dcb->fRtsControl == RTS_CONTROL_TOGGLE ||
       (dcb->fOutxCtsFlow && cts_flow_drives_rts())))
    report_and_exit(&LINE_IN_HANDSHAKE, port_name, "RTS");
  if (choices.drives_dtr)
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
  if (choices.drives_rts)
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
}

// A sequence needs modem lines: asked before anything changes on the port.
static void require_modem_lines(const port_choices &choices) {
  DWORD lines = 0;
  if ((choices.drives_dtr || choices.drives_rts) && !GetCommModemStatus(serial_port, &lines))
    report_and_exit(&NO_MODEM_LINES, port_name, last_error_code());
}

COMMCONFIG settings_for_port(const char *settings, const port_choices &choices, DWORD *size) {
  COMMCONFIG config = {};
  *size = sizeof(COMMCONFIG);
  if (!GetCommConfig(serial_port, &config, size))
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
  require_modem_lines(choices);
  return config;
}

uint32_t apply_port_settings(COMMCONFIG *config, DWORD size) {
  if (!SetCommConfig(serial_port, config, size))
    report_and_exit(&SET_CONFIG_FAILED, port_name, last_error_code());
  return bytes_per_second(config->dcb);
}

void note_settings_read_back(const char *settings) {
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
  char read_back[200];
  snprintf(read_back, sizeof read_back,
           "%lu baud, %u data bits, parity %s, stop bits %s, %s, DTR %s, RTS %s",
           (unsigned long)dcb.BaudRate, dcb.ByteSize, PARITIES[dcb.Parity % 5],
           STOP_BITS[dcb.StopBits % 3], flow, LEVELS[dcb.fDtrControl], LEVELS[dcb.fRtsControl]);
  settings_read_back(read_back);
  trace("settings \"%s\", read back: %s", settings, read_back);
}
