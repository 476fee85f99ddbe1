// The synchronization handshake with the target.
#pragma once

#include <windows.h>

#include "../link/modem_lines.h"
#include "../link/serial_port.h"

const BYTE SYNC_REQUEST = 0xAA;
const BYTE SYNC_REPLY = 0x4B; // 'K'
const int SYNC_ATTEMPTS = 5;
const DWORD SYNC_TIMEOUT_MS = OPENING_READ_TIMEOUT_MS; // set at opening

// What the options ask of the handshake.
struct handshake_choices {
  int attempts;               // 0: until stopped
  DWORD attempt_ms;           // the wait for each reply
  const line_sequence *entry; // run before each attempt, where given
};

const handshake_choices DEFAULT_HANDSHAKE = {SYNC_ATTEMPTS, SYNC_TIMEOUT_MS, NULL};

// Returns once the target has answered SYNC_REPLY; otherwise ends the run.
void synchronize(const handshake_choices &choices = DEFAULT_HANDSHAKE);
