// The platform's own calls beyond the Win32 serial and file interface:
// tuning for the port and its buffers, and the console a person watches.
// One source file a platform provides it: platform_posix.cpp for Linux and
// macOS, platform_windows.cpp for Windows.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

// Asks the port's driver to pass received bytes on at once: every reply
// the protocols wait for is one byte.
void prefer_low_latency(HANDLE port);
// Keeps DTR and RTS as the run leaves them when the port closes, where the
// system can (Linux and macOS drop them otherwise; Windows does anyway).
void keep_lines_after_run(HANDLE port);
// Whether a port failed to open because it is not there (yet), because
// another program has it (a board plugged in later, a port let go later),
// or because it may not be used (a node udev has not handed over yet).
bool port_is_missing(unsigned code);
bool port_is_busy(unsigned code);
bool port_is_forbidden(unsigned code);
// The code of a port that is not there, as opening one gives it.
unsigned port_missing_code();
// Whether a file or device of that name is there.
bool name_exists(const char *name);
// Claims the port just opened for this run, where the system's own
// exclusive use may not hold (Wine lets a second program open a COM port);
// gives the error code of a refusal, or 0.
unsigned claim_port(HANDLE port, const char *name);
// Whether CTS flow control hands RTS to the system (Linux and macOS drive
// RTS themselves under CRTSCTS).
bool cts_flow_drives_rts();
// What the run changes on the port and the system, put back however it
// ends: the port's time-outs as they were found (Windows keeps them for the
// next program), and the platform's own (exclusive use and low latency on
// Linux and macOS, the console's mode on Windows). Putting back is made of
// plain system calls, so that a signal handler may do it.
void keep_found_timeouts(HANDLE port, const COMMTIMEOUTS &found);
void put_back_what_the_run_changed();
void put_back_system_state(); // the platform's own part of it

// Starts `body` on a thread of the program's own, which takes none of the
// signals the run handles: they land on the main thread, where the
// handlers expect them. False where no thread could be started.
bool start_helper(std::thread *thread, void (*body)());
// Holds off the stopping signals (Ctrl-C and the like) from now on, for a
// run that is on its way out; the timer's signal still comes.
void hold_stops();
// Ends a run that was stopped, as it was stopped: by the signal `how` on
// Linux and macOS, with the code `how` on Windows. No library clean-up runs.
[[noreturn]] void end_stopped(int how);

// Gives the system advice for a buffer about to be filled with a whole image.
void advise_large_buffer(void *buffer, size_t size);

// Works out the SHA-256 of `size` bytes into `digest`, by the platform's own
// library (OpenSSL's libcrypto on Linux, CommonCrypto on macOS, BCrypt on
// Windows), a piece at a time: it gives up soon once `stop` is set. Where
// the library cannot be had (libcrypto missing from a small container) it
// says so.
const size_t SHA256_SIZE = 32;
const size_t SHA256_PIECE = 1u << 20;
enum sha256_outcome { SHA256_DONE, SHA256_NOT_DONE, SHA256_NO_LIBRARY };
sha256_outcome sha256(const void *data, size_t size, unsigned char *digest,
                      const std::atomic<bool> &stop);

// Converts a name for the record to UTF-8: names arrive in the system's
// code page
// (Windows' active code page; bytes as given on Linux and macOS).
std::string text_in_utf8(const char *text);

// Whether standard error (standard output) is a terminal, a console on
// Windows: only standard error is ever drawn on.
bool error_is_terminal();
bool output_is_terminal();
// Whether this run may draw on standard error now: a run in the background
// leaves the terminal to what is in the foreground.
bool error_in_foreground();
// The width of the terminal on standard error, in columns; 0 where unknown.
int terminal_width();
// Whether standard error takes a write at once now: a terminal stopped by
// Ctrl-S does not. Safe in a signal handler.
bool error_takes_output_now();
// Keeps the console still for the run where a click would pause every write
// to it (Windows' QuickEdit); the way out puts its mode back.
void keep_console_still();
// Whether the terminal on standard error takes the escapes that move the
// cursor, which a view of several lines needs; on Windows the console is
// asked to take them for the run, and the way out puts its mode back.
bool terminal_moves_cursor();
// Writes to standard error straight away; safe in a signal handler. Gives
// the error the write met, 0 where none.
unsigned write_error_at_once(const char *text, size_t length);

// Writes what an error code means on this platform, in words.
void describe_error(unsigned code, char *text, size_t size);
