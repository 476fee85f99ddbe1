// The settings string made into the port's configuration: parsed on top of
// what the port holds, checked against what the options ask, applied, and
// read back for the record. Part of opening the port (serial_port.cpp).
#pragma once

#include <windows.h>

#include <cstdint>

#include "serial_port.h"

// The port's configuration with the settings string applied to it, and
// every check of it made: nothing is changed on the port yet. `size` is
// the record's size as the platform reports it.
COMMCONFIG settings_for_port(const char *settings, const port_choices &choices, DWORD *size);
// Applies it; gives how many bytes a second the line carries then.
uint32_t apply_port_settings(COMMCONFIG *config, DWORD size);
// The settings as the driver holds them now, in words, for the record.
void note_settings_read_back(const char *settings);
