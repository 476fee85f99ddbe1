// Sending through the port: whole buffers, counted in bytes_sent; the one
// wait for the line to drain; and, for a person at a terminal, the
// progress of both.
#pragma once

#include <cstdint>

void send_bytes(const void *data, uint32_t length);
// Waits until everything sent has left the port.
void wait_until_sent();
// Shows progress to a person at a terminal, from the sending of `total`
// bytes until they have left the port.
void watch_sending(uint32_t total);
void end_watching();
