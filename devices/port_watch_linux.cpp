// Linux: udev's monitor where udevd runs, whose events come once its rules
// have given the node its owner and permissions; the kernel's own uevents
// where none runs (a container, a small guest), which come once the kernel
// has made the node. libudev is loaded when a station starts watching, as
// libcrypto is for a record: a single run never needs it, and a machine
// without it still loads boards.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "../platform/platform.h"
#include "port_watch.h"

struct udev;
struct udev_monitor;
struct udev_device;

static struct {
  udev *(*new_context)();
  udev_monitor *(*new_monitor)(udev *, const char *source);
  int (*match_subsystem)(udev_monitor *, const char *subsystem, const char *type);
  int (*enable_receiving)(udev_monitor *);
  int (*descriptor)(udev_monitor *);
  udev_device *(*receive)(udev_monitor *);
  udev_device *(*let_go)(udev_device *);
} calls;

static void (*ports_changed)() = nullptr;
static udev_monitor *monitor = nullptr;
static int stop_pipe[2] = {-1, -1};
static std::thread watcher;

template <typename call> static bool take(void *library, const char *name, call *into) {
  *into = reinterpret_cast<call>(dlsym(library, name));
  return *into != nullptr;
}

static bool load_libudev() {
  void *library = dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
  return library != nullptr && take(library, "udev_new", &calls.new_context) &&
         take(library, "udev_monitor_new_from_netlink", &calls.new_monitor) &&
         take(library, "udev_monitor_filter_add_match_subsystem_devtype", &calls.match_subsystem) &&
         take(library, "udev_monitor_enable_receiving", &calls.enable_receiving) &&
         take(library, "udev_monitor_get_fd", &calls.descriptor) &&
         take(library, "udev_monitor_receive_device", &calls.receive) &&
         take(library, "udev_device_unref", &calls.let_go);
}

// The monitor's socket does not block: every event waiting is taken, and
// one look at the list answers them all.
static void watch() {
  pollfd events[2] = {{calls.descriptor(monitor), POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
  for (;;) {
    if (poll(events, 2, -1) < 0 && errno != EINTR)
      return;
    if (events[1].revents != 0)
      return;
    if ((events[0].revents & POLLIN) == 0)
      continue;
    while (udev_device *device = calls.receive(monitor))
      calls.let_go(device);
    ports_changed();
  }
}

const char *start_watching_ports(void (*changed)()) {
  if (!load_libudev())
    return nullptr;
  bool udevd_runs = access("/run/udev/control", F_OK) == 0;
  const char *source = udevd_runs ? "udev" : "kernel";
  udev *context = calls.new_context();
  monitor = context != nullptr ? calls.new_monitor(context, source) : nullptr;
  if (monitor == nullptr || calls.match_subsystem(monitor, "tty", nullptr) < 0 ||
      calls.enable_receiving(monitor) < 0 || pipe(stop_pipe) != 0)
    return nullptr;
  ports_changed = changed;
  if (!start_helper(&watcher, watch))
    return nullptr;
  return udevd_runs ? "udev's events" : "the kernel's uevents";
}

void stop_watching_ports() {
  if (!watcher.joinable())
    return;
  (void)!write(stop_pipe[1], "", 1);
  watcher.join();
}
