// macOS: IOKit's matching notifications for serial services that come
// (first match) and go (terminated), on a run loop of a thread of the
// watcher's own.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/serial/IOSerialKeys.h>

#include <thread>

#include "../platform/platform.h"
#include "port_watch.h"

static void (*ports_changed)() = nullptr;
static IONotificationPortRef notifications = nullptr;
static CFRunLoopRef watching_loop = nullptr;
static std::thread watcher;

// Each notification's iterator must be emptied, or it tells no more.
static void drain(void *, io_iterator_t services) {
  for (io_object_t service; (service = IOIteratorNext(services)) != 0;)
    IOObjectRelease(service);
  if (ports_changed != nullptr)
    ports_changed();
}

static bool subscribe(const io_name_t type) {
  io_iterator_t services = 0;
  if (IOServiceAddMatchingNotification(notifications, type,
                                       IOServiceMatching(kIOSerialBSDServiceValue), drain, nullptr,
                                       &services) != KERN_SUCCESS)
    return false;
  void (*quiet)() = ports_changed;
  ports_changed = nullptr; // what is there already is read by the caller
  drain(nullptr, services);
  ports_changed = quiet;
  return true;
}

static void watch() {
  watching_loop = CFRunLoopGetCurrent();
  CFRunLoopAddSource(watching_loop, IONotificationPortGetRunLoopSource(notifications),
                     kCFRunLoopDefaultMode);
  CFRunLoopRun();
}

const char *start_watching_ports(void (*changed)()) {
  ports_changed = changed;
  notifications = IONotificationPortCreate(MACH_PORT_NULL);
  if (notifications == nullptr || !subscribe(kIOFirstMatchNotification) ||
      !subscribe(kIOTerminatedNotification) || !start_helper(&watcher, watch))
    return nullptr;
  return "IOKit's notifications";
}

void stop_watching_ports() {
  if (!watcher.joinable())
    return;
  while (watching_loop == nullptr)
    std::this_thread::yield();
  CFRunLoopStop(watching_loop);
  watcher.join();
}
