// Linux and macOS: hints by errno.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "hints.h"

// Joining a group helps only where the group may read and write the device.
static void explain_access(const char *name, char *text, size_t size) {
  struct stat status;
  if (name == nullptr || stat(name, &status) != 0) {
    snprintf(text, size, "You may not use that device.");
    return;
  }
  const passwd *owner = getpwuid(status.st_uid);
  const group *group_entry = getgrgid(status.st_gid);
  const char *owner_name = owner ? owner->pw_name : "?";
  const char *group_name = group_entry ? group_entry->gr_name : "?";
  unsigned mode = status.st_mode & 0777;
  if ((mode & 060) == 060)
    snprintf(text, size,
             "%s belongs to %s:%s (mode %03o): join the group %s (sudo usermod -aG %s $USER), "
             "then log in again.",
             name, owner_name, group_name, mode, group_name, group_name);
  else
    snprintf(text, size,
             "%s belongs to %s:%s (mode %03o): no group may use it, so joining one cannot help; "
             "run as %s, or have its permissions changed (a udev rule).",
             name, owner_name, group_name, mode, owner_name);
}

static const char NO_SUCH_PORT[] =
    "`tarvick --list` shows the serial ports here; a USB adapter is usually /dev/ttyUSB0 or "
    "/dev/ttyACM0.";
static const char PORT_BUSY[] =
    "Another program has the port open (a terminal program, another tarvick, ModemManager): "
    "close it and try again.";
static const char LINE_GONE[] =
    "The line went away: the adapter was unplugged or the target closed the line. Check the "
    "cable and run again.";
static const char A_FOLDER[] = "That is a folder: name a file.";

const failure_hint PLATFORM_HINTS[] = {
    {&OPEN_PORT_FAILED, ENOENT, NO_SUCH_PORT, nullptr},
    {&OPEN_PORT_FAILED, EBUSY, PORT_BUSY, nullptr},
    {&OPEN_PORT_FAILED, EWOULDBLOCK, PORT_BUSY, nullptr},
    {&OPEN_PORT_FAILED, EACCES, nullptr, explain_access},
    {&OPEN_PORT_FAILED, EISDIR, "That is a folder, not a serial device.", nullptr},
    {&GET_TIMEOUTS_FAILED, ENOTTY,
     "That is not a serial device (a file, the terminal you work at, or the multiplexer of "
     "pseudo-terminals). `tarvick --list` shows the serial ports here.",
     nullptr},
    {&WRITE_FAILED, ETIMEDOUT, WRITE_TIMED_OUT, nullptr},
    {&WRITE_FAILED, EIO, LINE_GONE, nullptr},
    {&WRITE_FAILED, ENODEV, LINE_GONE, nullptr},
    {&READ_FAILED, EIO, LINE_GONE, nullptr},
    {&READ_FAILED, ENODEV, LINE_GONE, nullptr},
    {&OPEN_FILE_FAILED, ENOENT, NO_SUCH_FILE, nullptr},
    {&OPEN_FILE_FAILED, EISDIR, A_FOLDER, nullptr},
    {&OPEN_FILE_FAILED, EACCES, "You may not read that file.", nullptr},
    {&OPEN_FILE_FAILED, ENXIO, "That is a closed standard stream or a socket: name a file.",
     nullptr},
    {&FILE_INFORMATION_FAILED, ESPIPE,
     "The image is a pipe, a FIFO or a device: save it to a file and load that.", nullptr},
};
const size_t PLATFORM_HINT_COUNT = sizeof PLATFORM_HINTS / sizeof PLATFORM_HINTS[0];
