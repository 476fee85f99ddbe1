// Linux: termios2 carries any speed (BOTHER), so every change goes through
// TCGETS2/TCSETS2. <asm/termbits.h> clashes with <termios.h> and
// <sys/ioctl.h>, hence this file of its own with ioctl declared by hand.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>

#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <tty_settings.h>

#include "divisors.h"

extern "C" int ioctl(int fd, unsigned long request, ...);

struct standard_speed {
  uint32_t speed;
  unsigned code;
};

static const standard_speed STANDARD_SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// A standard rate keeps its own code so that other tools read it back as usual.
static unsigned speed_code(uint32_t speed) {
  for (const standard_speed &known : STANDARD_SPEEDS)
    if (known.speed == speed)
      return known.code;
  return BOTHER;
}

bool get_tty_settings(int fd, tty_settings *settings) {
  struct termios2 device;
  if (ioctl(fd, TCGETS2, &device) != 0)
    return false;
  *settings = tty_settings{};
  settings->iflag = device.c_iflag;
  settings->oflag = device.c_oflag;
  settings->cflag = device.c_cflag & ~(CBAUD | CIBAUD);
  settings->lflag = device.c_lflag;
  memcpy(settings->cc, device.c_cc, sizeof device.c_cc);
  settings->speed = device.c_ospeed;
  return true;
}

bool set_tty_settings(int fd, const tty_settings *settings) {
  struct termios2 device;
  if (ioctl(fd, TCGETS2, &device) != 0)
    return false;
  device.c_iflag = settings->iflag;
  device.c_oflag = settings->oflag;
  device.c_cflag = (settings->cflag & ~(CBAUD | CIBAUD)) | speed_code(settings->speed);
  device.c_lflag = settings->lflag;
  memcpy(device.c_cc, settings->cc, sizeof device.c_cc);
  device.c_ispeed = settings->speed;
  device.c_ospeed = settings->speed;
  return ioctl(fd, TCSETS2, &device) == 0;
}

// The plain 16450/16550 family, whose divisor is baud_base / rate rounded.
static bool is_plain_uart(int type) {
  return type == PORT_8250 || type == PORT_16450 || type == PORT_16550 || type == PORT_16550A;
}

// The device behind a tty in sysfs, or "" for what is no character device.
static std::string device_folder(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
    return "";
  char folder[64];
  snprintf(folder, sizeof folder, "/sys/dev/char/%u:%u/device", major(status.st_rdev),
           minor(status.st_rdev));
  return folder;
}

std::string tty_driver_name(int fd) {
  std::string folder = device_folder(fd);
  char target[PATH_MAX];
  ssize_t length =
      folder.empty() ? -1 : readlink((folder + "/driver").c_str(), target, sizeof target - 1);
  if (length <= 0)
    return "";
  target[length] = '\0';
  const char *last = strrchr(target, '/');
  return last ? last + 1 : target;
}

// The release number (bcdDevice) of the USB device a few steps above the
// tty (port, interface, device), which tells an FTDI chip's family; 0 where
// there is none.
static unsigned usb_release(int fd) {
  std::string folder = device_folder(fd);
  for (int step = 0; step < 3 && !folder.empty(); step++, folder += "/..") {
    unsigned release = 0;
    FILE *file = fopen((folder + "/bcdDevice").c_str(), "r");
    bool found = file != nullptr && fscanf(file, "%x", &release) == 1;
    if (file != nullptr)
      fclose(file);
    if (found)
      return release;
  }
  return 0;
}

uint32_t speed_made(int fd, uint32_t speed) {
  if (speed == 0)
    return speed;
  if (tty_driver_name(fd) == "ftdi_sio")
    return ftdi_rate(usb_release(fd), speed);
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || !is_plain_uart(serial.type) || serial.baud_base <= 0)
    return speed;
  return uart_rate((uint32_t)serial.baud_base, speed);
}

// The seventh field of /proc/self/stat, after the name in parentheses,
// which may itself hold spaces and parentheses.
uint64_t controlling_terminal() {
  char text[1024] = "";
  FILE *file = fopen("/proc/self/stat", "r");
  size_t length = file != nullptr ? fread(text, 1, sizeof text - 1, file) : 0;
  if (file != nullptr)
    fclose(file);
  text[length] = '\0';
  const char *after_name = strrchr(text, ')');
  int terminal = 0;
  if (after_name == nullptr || sscanf(after_name, ") %*c %*d %*d %*d %d", &terminal) != 1)
    return 0;
  // The kernel's encoding: minor in bits 0-7 and 20-31, major in bits 8-19.
  return makedev(((unsigned)terminal >> 8) & 0xFFF,
                 ((unsigned)terminal & 0xFF) | (((unsigned)terminal >> 12) & 0xFFF00));
}

bool tty_is_exclusive(int fd) {
  int exclusive = 0;
  return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

bool set_low_latency(int fd, int *saved_flags) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
    return false;
  *saved_flags = serial.flags;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

// Only the flags go back; called from a signal handler too, so it makes
// nothing but system calls.
void restore_serial_flags(int fd, int saved_flags) {
  struct serial_struct serial;
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0)
    return;
  serial.flags = saved_flags;
  ioctl(fd, TIOCSSERIAL, &serial);
}
