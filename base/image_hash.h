// The image's SHA-256 for the run's record, worked out a piece at a time on
// a thread of its own beside the upload, which it would otherwise slow by
// a few percent.
#pragma once

#include <cstdint>

#include "../platform/platform.h"

// Starts it: `done` is called on the hash's thread with how it went and,
// where it is worked out, its text. Where no thread can be started, it is
// worked out now.
void hash_beside(const void *data, uint32_t size,
                 void (*done)(sha256_outcome outcome, const char *text));
// Waits until it is worked out.
void wait_for_hash();
// Stops it soon and waits for it, so that no library's clean-up at the
// process's end runs while the hash is inside that library.
void stop_hash();
