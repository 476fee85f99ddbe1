// Linux and macOS: the terminal test, error texts and hints by errno.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

bool error_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

void describe_error(unsigned code, char *text, size_t size) {
  snprintf(text, size, "%s", strerror((int)code));
}

static const char NO_SUCH_PORT[] =
    "`tarvick --list` shows the serial ports here; a USB adapter is usually /dev/ttyUSB0 or "
    "/dev/ttyACM0.";
static const char PORT_BUSY[] =
    "Another program has the port open (a terminal program, another tarvick, ModemManager): "
    "close it and try again.";
static const char LINE_GONE[] =
    "The line went: the adapter was unplugged or the target closed the line. Check the cable "
    "and run again.";
static const char A_FOLDER[] = "That is a folder: name a file.";

const failure_hint FAILURE_HINTS[] = {
    {"fail to open %s : %u\n", ABOUT_PORT, ENOENT, NO_SUCH_PORT},
    {"fail to open %s : %u\n", ABOUT_PORT, EBUSY, PORT_BUSY},
    {"fail to open %s : %u\n", ABOUT_PORT, EWOULDBLOCK, PORT_BUSY},
    {"fail to open %s : %u\n", ABOUT_PORT, EACCES,
     "Join the dialout group (sudo usermod -aG dialout $USER), then log in again."},
    {"fail to open %s : %u\n", ABOUT_PORT, EISDIR, "That is a folder, not a serial device."},
    {"fail to get %s timeouts: %u\n", ABOUT_PORT, ENOTTY,
     "That is not a serial device. `tarvick --list` shows the serial ports here."},
    {"fail to write to %s : %u\n", ABOUT_PORT, EIO, LINE_GONE},
    {"fail to read from %s : %u\n", ABOUT_PORT, EIO, LINE_GONE},
    {"fail to open %s : %u\n", ABOUT_FILE, ENOENT, NO_SUCH_FILE},
    {"fail to open %s : %u\n", ABOUT_FILE, EISDIR, A_FOLDER},
    {"fail to open %s : %u\n", ABOUT_FILE, EACCES, "You may not read that file."},
    {"fail to get file information %s : %u\n", ABOUT_FILE, ESPIPE,
     "The image is a pipe, a FIFO or a device: save it to a file and load that."},
};
const size_t FAILURE_HINT_COUNT = sizeof FAILURE_HINTS / sizeof FAILURE_HINTS[0];
