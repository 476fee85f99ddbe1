// The answers to --help, --version and --list.
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../base/status_line.h"
#include "../base/way_out.h"
#include "../devices/port_list.h"
#include "../platform/platform.h"

static const char HELP[] =
    "Usage: tarvick [options] <COM port> <comSettings> <filename> [programming-file]\n"
    "       tarvick --station [options] <ports> <comSettings> <filename> [...]\n"
    "Loads a program image into a target over a serial port, then feeds it an\n"
    "optional programming file line by line.\n"
    "\n"
    "  COM port          the serial device: COM3, or \\\\.\\COM10 from COM10 on, on\n"
    "                    Windows; /dev/ttyUSB0 on Linux; or the USB device behind it:\n"
    "                    usb:VID:PID, usb:VID:PID:SERIAL, usb::SERIAL; or the socket\n"
    "                    it is plugged into: usb@LOCATION. tarvick --list shows them.\n"
    "  comSettings       the port settings as one argument, in either form:\n"
    "                      \"baud=38400 parity=N data=8 stop=1\"  key=value pairs\n"
    "                      \"96,N,8,1\"                           speed,parity,data,stop[,x|p]\n"
    "  filename          the image, sent unchanged\n"
    "  programming-file  a text file sent line by line, one reply a line\n"
    "\n"
    "Options, before the arguments, one argument each; each may also come from\n"
    "the environment variable named after it (the command line wins):\n"
    "  --reset=ENTRY[:EXIT]  TARVICK_RESET\n"
    "      drive DTR and RTS: ENTRY before each handshake attempt, EXIT once after\n"
    "      a completed load; steps separated by commas: dtr, !dtr, rts, !rts, two\n"
    "      at once (dtr+!rts), waits (100ms). Asserted is a low pin on TTL.\n"
    "      ENTRY may be touch: the port at 1200 baud, DTR dropped, and the board\n"
    "      followed to the port it comes back as on the same socket.\n"
    "  --attempts=N          TARVICK_ATTEMPTS        handshake attempts (5; 0: until\n"
    "                                                stopped)\n"
    "  --attempt-time=T      TARVICK_ATTEMPT_TIME    wait for each reply (2s)\n"
    "  --wait-port=T         TARVICK_WAIT_PORT       wait for a port not there or in\n"
    "                                                use (0: until stopped)\n"
    "  --reply-timeout=T     TARVICK_REPLY_TIMEOUT   wait for a line's reply (no limit)\n"
    "  --write-timeout=T     TARVICK_WRITE_TIMEOUT   fail when nothing leaves the port\n"
    "                                                for T (no limit)\n"
    "  --trace=FILE          TARVICK_TRACE           a line for each event, timed (-:\n"
    "                                                standard error)\n"
    "  --report=FILE         TARVICK_REPORT          one JSON object when the run ends\n"
    "  --progress=MODE       TARVICK_PROGRESS        draw (at a terminal), log (plain\n"
    "                                                lines where it is none), json\n"
    "                                                (lines for a program) or off\n"
    "  --station             loads boards as they are plugged in, side by side, each\n"
    "                        in a run of its own; <ports> is a list, commas between,\n"
    "                        of USB identities, places (a hub's: every socket behind\n"
    "                        it) and names; --report is then a JSON Lines log and\n"
    "                        --trace a folder\n"
    "  --count=N             a station ends once N boards have passed\n"
    "Durations carry their unit: 250ms, 2s.\n"
    "\n"
    "Exit status: 0 when the load completed, 2 on any failure.\n"
    "Also: tarvick --help | --version | --list\n"
    "The settings, the exchange with the target, the options and every message:\n"
    "man tarvick\n";

static bool is(const char *argument, const char *long_form, const char *short_form) {
  return strcmp(argument, long_form) == 0 || (short_form && strcmp(argument, short_form) == 0);
}

// An answer that never reached standard output (a full disk, a closed
// output) is a failure, as coreutils have it: a script must not take "no
// ports" from a list that was never written.
static void end_answer() {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "tarvick: write error: %s\n", strerror(errno));
    leave(FAILURE_STATUS);
  }
  leave(0);
}

void answer_single_argument(const char *argument) {
  if (is(argument, "--help", "-h")) {
    fputs(HELP, stdout);
  } else if (is(argument, "--version", "-V")) {
    printf("tarvick %s\n", TARVICK_VERSION);
  } else if (is(argument, "--list", NULL)) {
    if (list_serial_ports() == 0 && terminal_watches())
      fputs("no serial ports found\n", stderr);
  } else {
    return;
  }
  end_answer();
}
