// Linux: the serial ports from sysfs, with their adapters, stable names, USB
// identities and places.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "port_list_linux.h"

static const int USB_DEVICE_DEPTH = 4; // tty, interface, device: a few steps up
static const char UNKNOWN_UART[] = "0";

static std::vector<std::string> entries_of(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *directory = opendir(folder.c_str())) {
    while (dirent *entry = readdir(directory))
      if (entry->d_name[0] != '.')
        names.push_back(entry->d_name);
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  return names;
}

static std::string first_line(const std::string &path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

static bool exists(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

static std::string last_part(const std::string &path) {
  return path.substr(path.find_last_of('/') + 1);
}

static std::string resolved(const std::string &path) {
  char target[PATH_MAX];
  return realpath(path.c_str(), target) ? target : "";
}

// Describes the USB device above the tty, if any ("0403:6001 FT232R USB
// UART"), and notes its identity, serial number and place: the device's
// sysfs name, and the interface's, the folder below it ("1-1.4:1.0").
static std::string usb_description(const std::string &device, system_port *port) {
  std::string folder = resolved(device), below;
  for (int step = 0; step < USB_DEVICE_DEPTH && !folder.empty(); step++) {
    if (exists(folder + "/idVendor")) {
      port->location = last_part(folder);
      if (below.compare(0, port->location.size() + 1, port->location + ":") == 0)
        port->interface_location = below;
      std::string vendor = first_line(folder + "/idVendor");
      std::string product_id = first_line(folder + "/idProduct");
      std::string product = first_line(folder + "/product");
      port->serial = first_line(folder + "/serial");
      const char *refused = nullptr;
      port->usb = read_usb_identity(("usb:" + vendor + ":" + product_id).c_str(), &port->identity,
                                    &refused) &&
                  refused == nullptr;
      port->identity.serial = port->serial;
      std::string text = vendor + ":" + product_id;
      return product.empty() ? text : text + " " + product;
    }
    below = last_part(folder);
    folder = folder.substr(0, folder.find_last_of('/'));
  }
  return "";
}

// Names the UART a serial_core port has, by its type number; other ttys
// have none.
static std::string uart_description(const std::string &type) {
  static const char *const UARTS[] = {"", "8250", "16450", "16550", "16550A"};
  int number = type.empty() ? 0 : atoi(type.c_str());
  if (number <= 0)
    return "";
  return number < 5 ? std::string(UARTS[number]) + " UART" : "UART type " + type;
}

// Gives the stable names that udev made for this tty in /dev/serial/by-id.
static std::string stable_names(const std::string &dev_root, const std::string &tty) {
  std::string names;
  std::string folder = dev_root + "/serial/by-id";
  for (const std::string &name : entries_of(folder))
    if (last_part(resolved(folder + "/" + name)) == tty)
      names += " " + folder + "/" + name;
  return names;
}

std::vector<system_port> find_serial_ports(const std::string &sys_root,
                                           const std::string &dev_root) {
  std::vector<system_port> ports;
  std::string classes = sys_root + "/class/tty";
  for (const std::string &tty : entries_of(classes)) {
    std::string folder = classes + "/" + tty;
    // Virtual consoles and pseudo-terminals have no device behind them.
    if (!exists(folder + "/device"))
      continue;
    // The 8250 driver keeps legacy ports whose UART is not there; and a
    // container shows the host's ttys without their device nodes.
    if (first_line(folder + "/type") == UNKNOWN_UART || !exists(dev_root + "/" + tty))
      continue;
    system_port port = {};
    port.name = dev_root + "/" + tty;
    port.adapter = usb_description(folder + "/device", &port);
    if (port.adapter.empty())
      port.adapter = uart_description(first_line(folder + "/type"));
    std::string stable = stable_names(dev_root, tty);
    port.stable = stable.empty() ? "" : stable.substr(1);
    port.description = port.adapter;
    if (!stable.empty())
      port.description += (port.adapter.empty() ? "also" : ", also") + stable;
    ports.push_back(port);
  }
  return ports;
}

std::vector<system_port> system_serial_ports() {
  return find_serial_ports("/sys", "/dev");
}
