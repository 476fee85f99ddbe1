// The image's SHA-256, worked out on a helper thread that can be stopped.
#include "image_hash.h"

#include <cstdio>
#include <thread>

#include "../platform/platform.h"

static const void *hashed_data = nullptr;
static uint32_t hashed_size = 0;
static void (*hash_done)(sha256_outcome, const char *) = nullptr;
static std::atomic<bool> stop_asked(false);
static std::thread hashing;

static void hash_image() {
  unsigned char digest[SHA256_SIZE];
  char text[2 * SHA256_SIZE + 1] = "";
  sha256_outcome outcome = sha256(hashed_data, hashed_size, digest, stop_asked);
  if (outcome == SHA256_DONE)
    for (size_t i = 0; i < SHA256_SIZE; i++)
      snprintf(text + 2 * i, 3, "%02x", digest[i]);
  hash_done(outcome, text);
}

void hash_beside(const void *data, uint32_t size,
                 void (*done)(sha256_outcome outcome, const char *text)) {
  hashed_data = data;
  hashed_size = size;
  hash_done = done;
  if (!start_helper(&hashing, hash_image))
    hash_image();
}

void wait_for_hash() {
  if (hashing.joinable())
    hashing.join();
}

void stop_hash() {
  stop_asked = true;
  wait_for_hash();
}
