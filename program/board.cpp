// Finding the board's port by its USB identity, and following a board
// through the 1200-baud touch.
#include "board.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"
#include "../platform/platform.h"
#include "../platform/record_files.h"
#include "port_list.h"
#include "usb_identity.h"

static const DWORD TOUCH_BAUD = 1200;
static const DWORD COME_BACK_MS = 10000; // where --wait-port does not say
static const DWORD GONE_WITHIN_MS = 1000;
static const DWORD LOOK_EVERY_MS = 50;

static bool by_identity = false;
static usb_identity asked;
static std::string found;     // the device last found for the identity
static std::string came_back; // where a touched board came back

bool take_port(const char *port) {
  const char *refused = nullptr;
  if (name_exists(port) || !read_usb_identity(port, &asked, &refused))
    return false;
  if (refused != nullptr)
    report_and_exit(&PORT_REFUSED, port, refused);
  by_identity = true;
  return true;
}

static std::string joined(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

static std::vector<std::string> names_of(const std::vector<system_port> &ports) {
  std::vector<std::string> names;
  for (const system_port &port : ports)
    names.push_back(port.name);
  return names;
}

const char *device_for_port(const char *port, unsigned *refused) {
  if (!came_back.empty())
    return came_back.c_str();
  if (!by_identity)
    return port;
  std::vector<std::string> matching;
  for (const system_port &listed : serial_ports_now())
    if (listed.usb && identity_matches(asked, listed.identity))
      matching.push_back(listed.name);
  if (matching.size() > 1)
    report_and_exit(&PORT_REFUSED, port,
                    ("more than one port has that identity: " + joined(matching)).c_str());
  if (matching.empty()) {
    *refused = port_missing_code();
    return nullptr;
  }
  found = matching[0];
  return found.c_str();
}

// Gives the device for the port now, by identity or by name; null where
// none is there.
static const char *device_now(const char *port) {
  unsigned refused = 0;
  const char *device = device_for_port(port, &refused);
  if (device == nullptr || by_identity)
    return device;
  for (const system_port &listed : serial_ports_now())
    if (same_file(device, listed.name.c_str()))
      return device;
  return name_exists(device) ? device : nullptr;
}

static bool out_of_time(record_moment started, DWORD budget_ms) {
  return budget_ms != 0 && ms_since(started) >= budget_ms;
}

// The 1200-baud line coding and DTR dropped are what the board's firmware
// watches for; the close follows at once.
static void touch(const char *port, const std::string &device) {
  HANDLE handle =
      CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE)
    report_and_exit(&OPEN_PORT_FAILED, port, last_error_code());
  COMMCONFIG config = {};
  DWORD size = sizeof config;
  bool touched = GetCommConfig(handle, &config, &size);
  config.dcb.BaudRate = TOUCH_BAUD;
  config.dcb.fDtrControl = DTR_CONTROL_DISABLE;
  touched = touched && SetCommConfig(handle, &config, size);
  unsigned code = last_error_code();
  CloseHandle(handle);
  if (!touched)
    report_and_exit(&SET_CONFIG_FAILED, port, code);
  trace("touch: %s opened at %lu baud, DTR dropped, closed", device.c_str(),
        (unsigned long)TOUCH_BAUD);
}

// Gives where the board came back: the same identity; or the one port that
// appeared since the touch; or the same name, back again.
static const char *back_as(const char *port, const std::vector<std::string> &before) {
  if (by_identity)
    return device_now(port);
  std::vector<std::string> appeared;
  for (const std::string &name : names_of(serial_ports_now()))
    if (std::find(before.begin(), before.end(), name) == before.end())
      appeared.push_back(name);
  if (appeared.size() > 1)
    report_and_exit(&PORT_REFUSED, port,
                    ("more than one port came back: " + joined(appeared)).c_str());
  if (appeared.size() == 1) {
    found = appeared[0];
    return found.c_str();
  }
  return device_now(port);
}

void touch_board(const char *port, port_choices *opening) {
  record_moment started = moment_now();
  DWORD first_wait = opening->waits ? opening->wait_ms : 0;
  const char *device;
  while ((device = device_now(port)) == nullptr) {
    if (!opening->waits || out_of_time(started, first_wait))
      report_and_exit(&OPEN_PORT_FAILED, port, port_missing_code());
    show_status("waiting for %s\t: not there yet", port);
    Sleep(LOOK_EVERY_MS);
  }
  std::string touched = device; // the list below may reuse what `device` points to
  std::vector<std::string> before = names_of(serial_ports_now());
  touch(port, touched);
  record_moment after_touch = moment_now();
  bool went = false;
  while (!(went = device_now(port) == nullptr) && ms_since(after_touch) < GONE_WITHIN_MS)
    Sleep(LOOK_EVERY_MS);
  DWORD budget = opening->waits ? opening->wait_ms : COME_BACK_MS;
  const char *back = touched.c_str();
  if (!went) {
    trace("touch: %s stayed: taken as it is", back);
  } else {
    while ((back = back_as(port, before)) == nullptr) {
      if (out_of_time(after_touch, budget))
        report_and_exit(&OPEN_PORT_FAILED, port, port_missing_code());
      show_status("waiting for %s\t: the board to come back", port);
      Sleep(LOOK_EVERY_MS);
    }
    trace("touch: the board came back as %s after %lld ms", back, ms_since(after_touch));
  }
  clear_status();
  came_back = back;
  // A node just made may not be usable for a moment (until udev hands it
  // over): the opening waits for it as for a port not there yet.
  opening->waits = true;
  opening->wait_ms = PERMISSION_SETTLES_MS;
}
