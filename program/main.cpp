// tarvick: loads a program image into a target on a serial port, then feeds
// it an optional programming file line by line.
#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/way_out.h"
#include "../link/modem_lines.h"
#include "../link/serial_port.h"
#include "../protocols/program_lines.h"
#include "../protocols/synchronize.h"
#include "../protocols/upload_image.h"
#include "board.h"
#include "command_line.h"
#include "hints.h"
#include "process.h"

int main(int argc, char **argv) {
  prepare_process();
  follow_failures_with(explain_failure);
  const run_options &run = read_command_line(argc, argv);
  if (run.station)
    run_station(run.station_asked);
  begin_phase(PHASE_OPENING);
  port_choices opening = finding(run.wanted, run.opening);
  if (run.touch)
    opening = touch_board(run.wanted, run.settings, opening);
  std::string device = open_serial_port(run.port, run.settings, opening);
  note_board(device, run.wanted, run.touch);
  begin_phase(PHASE_HANDSHAKE);
  synchronize(run.handshake);
  // The image has left the port (upload_image waits for it): ending after
  // it loses nothing.
  begin_phase(PHASE_UPLOAD);
  upload_image(run.image);
  if (run.programming_file != NULL) {
    begin_phase(PHASE_LINES);
    program_lines(run.programming_file, run.reply_timeout_ms);
  }
  // A completed load, and only that, takes the board out of its boot loader.
  run_line_sequence(run.reset_exit);
  leave(0);
}
