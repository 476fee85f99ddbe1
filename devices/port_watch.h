// Watching for serial ports that come and go, by the system's own events
// rather than by looking again and again: `changed` is called, on a thread
// of the watcher's own, each time ports may have come or gone; the caller
// then reads the list anew, so an event told twice does no harm. One
// source file a system provides it: port_watch_linux.cpp (libudev),
// port_watch_windows.cpp (CM_Register_Notification), port_watch_bsd.cpp
// (IOKit's matching notifications).
#pragma once

// Starts watching. Gives null where no event can be had (the caller then
// looks now and then), else what is watched, for a person: "udev".
const char *start_watching_ports(void (*changed)());
void stop_watching_ports();
