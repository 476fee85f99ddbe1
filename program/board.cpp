// Finding the board's port, following a board through the 1200-baud touch
// by its place, and what the record says of the device opened.
#include "board.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../base/report.h"
#include "../base/run_record.h"
#include "../base/status_line.h"
#include "../platform/platform.h"

static const DWORD COME_BACK_MS = 10000; // where --wait-port does not say
static const DWORD GONE_WITHIN_MS = 1000;
static const DWORD LOOK_EVERY_MS = 50;

port_choices finding(const port_wanted &wanted, const port_choices &opening) {
  port_choices choices = opening;
  choices.find_device = [wanted](std::string *device, unsigned *refused) {
    return find_port_now(wanted, device, refused);
  };
  return choices;
}

// Where a touched board is followed: a USB board at its place, whatever it
// calls itself when it comes back, so that a board another run touched
// beside it is never taken; any other port by its name.
struct followed_board {
  std::string given; // the port as given, for messages
  std::string place; // empty: no USB device
  std::string name;  // the port as it was touched
};

// Whether the port is still there as it was touched.
static bool still_there(const followed_board &board) {
  if (board.place.empty())
    return name_exists(board.name.c_str());
  for (const system_port &port : ports_within(board.place))
    if (port.name == board.name)
      return true;
  return false;
}

// Gives the port the board is at now, where it is there; more than one
// port at its place ends the run, naming them.
static bool board_now(const followed_board &board, std::string *device) {
  if (board.place.empty()) {
    *device = board.name;
    return name_exists(board.name.c_str());
  }
  std::vector<system_port> there = ports_within(board.place);
  if (there.size() > 1)
    report_and_exit(&PORT_REFUSED, board.given.c_str(),
                    ("more than one port is there: " + names_with_places(there)).c_str());
  if (there.empty())
    return false;
  *device = there[0].name;
  return true;
}

static bool out_of_time(record_moment started, DWORD budget_ms) {
  return budget_ms != 0 && ms_since(started) >= budget_ms;
}

// Waits for the board to go, for a second at the most: a port that stays
// is taken as it is.
static void wait_until_gone(const followed_board &board) {
  record_moment touched = moment_now();
  while (still_there(board)) {
    if (ms_since(touched) >= GONE_WITHIN_MS) {
      trace("touch: %s stayed: taken as it is", board.name.c_str());
      return;
    }
    Sleep(LOOK_EVERY_MS);
  }
  trace("touch: %s went after %lld ms", board.name.c_str(), ms_since(touched));
}

static void wait_until_back(const followed_board &board, DWORD budget_ms) {
  record_moment started = moment_now();
  std::string device;
  while (!board_now(board, &device)) {
    if (out_of_time(started, budget_ms))
      report_and_exit(&OPEN_PORT_FAILED, board.given.c_str(), port_missing_code());
    show_status("waiting for %s\t: the board to come back", board.given.c_str());
    Sleep(LOOK_EVERY_MS);
  }
  clear_status();
  trace("touch: the board is back as %s after %lld ms", device.c_str(), ms_since(started));
}

port_choices touch_board(const port_wanted &wanted, const char *settings,
                         const port_choices &opening) {
  // The place is read as the touch's opening finds the port, before the
  // board can go.
  system_port touched = {};
  port_choices touching = opening;
  touching.find_device = [&](std::string *device, unsigned *refused) {
    if (!find_port_now(wanted, device, refused))
      return false;
    touched = port_of_device(*device);
    return true;
  };
  std::string device = touch_port(wanted.given.c_str(), settings, touching);
  followed_board board = {wanted.given, touched.own_location,
                          touched.own_location.empty() ? device : touched.name};
  trace("touch: %s%s%s opened at 1200 baud, DTR dropped, closed", device.c_str(),
        board.place.empty() ? "" : " at usb@", board.place.c_str());
  wait_until_gone(board);
  wait_until_back(board, opening.waits ? opening.wait_ms : COME_BACK_MS);
  // A node just made may not be usable for a moment (until udev hands it
  // over): the opening waits for it as for a port not there yet, and finds
  // the board where it is on each try.
  port_choices following = opening;
  following.waits = true;
  following.wait_ms = PERMISSION_SETTLES_MS;
  following.find_device = [board](std::string *device, unsigned *refused) {
    *refused = port_missing_code();
    return board_now(board, device);
  };
  return following;
}

void note_board(const std::string &device, const port_wanted &wanted, bool touched) {
  if (!recording())
    return;
  system_port port = port_of_device(device);
  std::string identity = port.usb ? identity_text(port.identity) : "";
  std::string location = port.own_location.empty() ? "" : "usb@" + port.own_location;
  adapter_found({port.adapter, port.serial, identity, location, port.stable});
  if (touched)
    trace("board: %s, followed after the touch", device.c_str());
  else if (wanted.form != PORT_BY_NAME)
    trace("board: %s, found by %s", device.c_str(), found_by(wanted.form));
  if (port.adapter.empty() && !port.usb)
    return;
  trace("adapter: %s%s%s%s%s%s%s%s%s", port.adapter.c_str(), port.serial.empty() ? "" : ", serial ",
        port.serial.c_str(), identity.empty() ? "" : ", ", identity.c_str(),
        location.empty() ? "" : " at ", location.c_str(), port.stable.empty() ? "" : ", also ",
        port.stable.c_str());
}
