// The serial ports of a Linux machine, from sysfs: every tty with a device
// behind it, but no legacy 8250 port without a UART, no virtual console and
// no pseudo-terminal. The roots are parameters so that a test can give a
// tree of its own.
#pragma once

#include <string>
#include <vector>

#include "port_list.h"

std::vector<system_port> find_serial_ports(const std::string &sys_root,
                                           const std::string &dev_root);
