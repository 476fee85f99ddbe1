// The platform's own calls beyond the Win32 serial and file interface:
// tuning for the port and its buffers, and the console a person watches.
// One source file a platform provides it: platform_posix.cpp for Linux and
// macOS, platform_windows.cpp for Windows.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Asks the port's driver to pass received bytes on at once: every reply
// the protocols wait for is one byte.
void prefer_low_latency(HANDLE port);
// Keeps DTR and RTS as the run leaves them when the port closes, where the
// system can (Linux and macOS drop them otherwise; Windows does anyway).
void keep_lines_after_run(HANDLE port);
// Whether a port failed to open because it is not there (yet), or because
// another program has it: a board plugged in later, a port let go later.
bool port_is_missing(unsigned code);
bool port_is_busy(unsigned code);
// Claims the port's name for this run before it is opened, where the
// system's own exclusive use may not hold (Wine lets a second program open
// a COM port); gives the error code of a refusal, or 0.
unsigned claim_port_name(const char *name);
// Advice for a buffer about to be filled with a whole image.
void advise_large_buffer(void *buffer, size_t size);

// The SHA-256 of `size` bytes into `digest`, by the platform's own library
// (OpenSSL's libcrypto on Linux, CommonCrypto on macOS, BCrypt on Windows).
const size_t SHA256_SIZE = 32;
bool sha256(const void *data, size_t size, unsigned char *digest);

// Files the run's record goes to, written with plain system calls only, so
// that a signal handler may write them too: made anew, or standard error
// for "-"; NO_RECORD_FILE where one cannot be made.
typedef intptr_t record_file;
const record_file NO_RECORD_FILE = -1;
record_file make_record_file(const char *path);
void write_record(record_file file, const char *text, size_t length);
// Whether a file can be made at `path`: it is made, and removed again.
bool can_make_file(const char *path);
// Writes `parts` into `temporary` and renames it to `path`, so that `path`
// holds all of them or stays as it was. Plain system calls only.
bool replace_file(const char *temporary, const char *path, const char *const *parts,
                  const size_t *lengths, int count);

// Whether standard error (standard output) is a terminal, a console on
// Windows: only standard error is ever drawn on.
bool error_is_terminal();
bool output_is_terminal();
// Whether this run may draw on standard error now: a run in the background
// leaves the terminal to what is in the foreground.
bool error_in_foreground();
// The width of the terminal on standard error, in columns; 0 where unknown.
int terminal_width();
// Around drawing: where a stop is handled on a thread of its own (Windows'
// console control handler), it waits for a frame being drawn. A signal
// handler runs on the thread it interrupts and must never wait for it, so
// on Linux and macOS these do nothing.
void hold_drawing();
void let_drawing_go();
// Writes to standard error straight away; safe in a signal handler.
void write_error_at_once(const char *text, size_t length);

// What an error code means on this platform, in words.
void describe_error(unsigned code, char *text, size_t size);
