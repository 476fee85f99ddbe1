// tarvick: loads a program image into a target on a serial port, then feeds
// it an optional programming file line by line.
#include "../base/report.h"
#include "../link/serial_port.h"
#include "../protocols/program_lines.h"
#include "../protocols/synchronize.h"
#include "../protocols/upload_image.h"
#include "hints.h"
#include "options.h"
#include "process.h"

static const int PORT_ARGUMENT = 1;
static const int SETTINGS_ARGUMENT = 2;
static const int IMAGE_ARGUMENT = 3;
static const int PROGRAMMING_ARGUMENT = 4;

int main(int argc, char **argv) {
  prepare_process();
  follow_failures_with(explain_failure);
  if (argc == 2)
    answer_single_argument(argv[1]);
  if (argc <= IMAGE_ARGUMENT)
    report_and_exit(&USAGE);
  open_serial_port(argv[PORT_ARGUMENT], argv[SETTINGS_ARGUMENT]);
  synchronize();
  upload_image(argv[IMAGE_ARGUMENT]);
  // The image has left the port (upload_image waits for it): ending here
  // loses nothing.
  if (argc <= PROGRAMMING_ARGUMENT)
    return 0;
  program_lines(argv[PROGRAMMING_ARGUMENT]);
}
