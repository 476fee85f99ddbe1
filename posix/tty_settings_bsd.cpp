// macOS and the BSDs: speed_t is the number of bits per second. A speed that
// the driver does not take through tcsetattr is set with IOSSIOSPEED after it.
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include <tty_settings.h>

#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

static const uint32_t STANDARD_SPEEDS[] = {50,   75,    110,   134,   150,    200,
                                           300,  600,   1200,  1800,  2400,   4800,
                                           9600, 19200, 38400, 57600, 115200, 230400};

static bool is_standard(uint32_t speed) {
  for (uint32_t known : STANDARD_SPEEDS)
    if (known == speed)
      return true;
  return false;
}

bool get_tty_settings(int fd, tty_settings *settings) {
  termios device;
  if (tcgetattr(fd, &device) != 0)
    return false;
  *settings = tty_settings{};
  settings->iflag = (uint32_t)device.c_iflag;
  settings->oflag = (uint32_t)device.c_oflag;
  settings->cflag = (uint32_t)device.c_cflag;
  settings->lflag = (uint32_t)device.c_lflag;
  memcpy(settings->cc, device.c_cc, sizeof device.c_cc);
  settings->speed = (uint32_t)cfgetospeed(&device);
  return true;
}

bool set_tty_settings(int fd, const tty_settings *settings) {
  termios device;
  if (tcgetattr(fd, &device) != 0)
    return false;
  device.c_iflag = settings->iflag;
  device.c_oflag = settings->oflag;
  device.c_cflag = settings->cflag;
  device.c_lflag = settings->lflag;
  memcpy(device.c_cc, settings->cc, sizeof device.c_cc);
  bool standard = is_standard(settings->speed);
  cfsetspeed(&device, standard ? settings->speed : 9600);
  if (tcsetattr(fd, TCSANOW, &device) != 0)
    return false;
#if defined(__APPLE__)
  if (!standard) {
    speed_t speed = settings->speed;
    return ioctl(fd, IOSSIOSPEED, &speed) == 0;
  }
#endif
  if (!standard)
    errno = EINVAL;
  return standard;
}

// The drivers here store the rate they make.
uint32_t speed_made(int, uint32_t speed) {
  return speed;
}

std::string tty_driver_name(int) {
  return "";
}

// Not told here: a terminal by another name than /dev/tty or a standard
// stream's passes.
uint64_t controlling_terminal() {
  return 0;
}

// No TIOCGEXCL here: the mark is taken as not set.
bool tty_is_exclusive(int) {
  return false;
}

// No low-latency flag in these drivers.
bool set_low_latency(int, int *) {
  return false;
}

void restore_serial_flags(int, int) {}
