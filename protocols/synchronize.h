#pragma once

#include <windows.h>

const BYTE SYNC_REQUEST = 0xAA;
const BYTE SYNC_REPLY = 0x4B; // 'K'
const int SYNC_ATTEMPTS = 5;
const DWORD SYNC_TIMEOUT_MS = 2000; // the read time-out from opening on

// Returns once the target has answered SYNC_REPLY; otherwise ends the run.
void synchronize();
