// DTR and RTS driven step by step, as a reset sequence says.
#include "modem_lines.h"

#include "../base/report.h"
#include "../base/run_record.h"
#include "serial_port.h"

bool drives_dtr(const line_sequence &sequence) {
  for (int i = 0; i < sequence.count; i++)
    if (sequence.steps[i].dtr != LINE_KEPT)
      return true;
  return false;
}

bool drives_rts(const line_sequence &sequence) {
  for (int i = 0; i < sequence.count; i++)
    if (sequence.steps[i].rts != LINE_KEPT)
      return true;
  return false;
}

static void set_line(DWORD function) {
  if (!EscapeCommFunction(serial_port, function))
    report_and_exit(&NO_MODEM_LINES, port_name, last_error_code());
}

// Two lines at once go in one call, as the port's whole state: a UART
// changes both in one write, with no moment between them that a board
// would take for a reset of its own, and a USB driver that passes an RTS
// change on only with a DTR write sees both.
static void set_both(int dtr, int rts) {
  COMMCONFIG config = {};
  DWORD size = sizeof config;
  if (!GetCommConfig(serial_port, &config, &size))
    report_and_exit(&GET_CONFIG_FAILED, port_name, last_error_code());
  config.dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  config.dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  if (!SetCommConfig(serial_port, &config, size))
    report_and_exit(&NO_MODEM_LINES, port_name, last_error_code());
}

void run_line_sequence(const line_sequence &sequence) {
  for (int i = 0; i < sequence.count; i++) {
    const line_step &step = sequence.steps[i];
    static const char *const LEVELS[] = {"cleared", "asserted"};
    if (step.dtr != LINE_KEPT && step.rts != LINE_KEPT)
      trace("DTR %s, RTS %s", LEVELS[step.dtr], LEVELS[step.rts]);
    else if (step.dtr != LINE_KEPT || step.rts != LINE_KEPT)
      trace("%s %s", step.dtr != LINE_KEPT ? "DTR" : "RTS",
            LEVELS[step.dtr != LINE_KEPT ? step.dtr : step.rts]);
    if (step.dtr != LINE_KEPT && step.rts != LINE_KEPT)
      set_both(step.dtr, step.rts);
    else if (step.dtr != LINE_KEPT)
      set_line(step.dtr ? SETDTR : CLRDTR);
    else if (step.rts != LINE_KEPT)
      set_line(step.rts ? SETRTS : CLRRTS);
    else
      Sleep(step.wait_ms);
  }
}
