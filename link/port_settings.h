// The settings string made into the port's configuration: parsed on top of
// what the port holds, checked against what the options ask, applied, and
// read back for the record. Part of opening the port (serial_port.cpp).
#pragma once

#include <windows.h>

#include <cstdint>

#include "serial_port.h"

// Gives the port's configuration with the settings string applied to it,
// once every check of it is made; nothing on the port changes yet. `size` is
// the record's size as the platform reports it.
COMMCONFIG settings_for_port(const char *settings, const port_choices &choices, DWORD *size);
// Applies the configuration; gives how many bytes a second the line
// carries then.
uint32_t apply_port_settings(COMMCONFIG *config, DWORD size);
// Notes for the record the settings as the driver holds them now, in words.
void note_settings_read_back(const char *settings);
