#pragma once

#include <windows.h>

#include "../link/serial_port.h"

const BYTE SYNC_REQUEST = 0xAA;
const BYTE SYNC_REPLY = 0x4B; // 'K'
const int SYNC_ATTEMPTS = 5;
const DWORD SYNC_TIMEOUT_MS = OPENING_READ_TIMEOUT_MS; // set at opening

// Returns once the target has answered SYNC_REPLY; otherwise ends the run.
void synchronize();
