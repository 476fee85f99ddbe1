// Windows: tuning for the port and the image, the console, and the
// system's error texts.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform.h"

// The latency timer of a USB adapter is its driver's setting on Windows.
void prefer_low_latency(HANDLE) {}

void advise_large_buffer(void *, size_t) {}

// Windows drops DTR and RTS when a port closes; nothing keeps them.
void keep_lines_after_run(HANDLE) {}

bool port_is_missing(unsigned code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A COM port that another program has open is refused with 5.
bool port_is_busy(unsigned code) {
  return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
}

// Windows refuses a second open of a COM port; Wine does not, and the
// second run's handshake went into the first one's image. A named mutex per
// port, held until the process ends, refuses it as Windows would. "com3"
// and "\\.\COM3" are one port; a backslash would name a namespace.
unsigned claim_port_name(const char *name) {
  static HANDLE claimed = NULL; // this run's, once it has it
  if (claimed != NULL)
    return 0;
  const char DEVICE_PREFIX[] = "\\\\.\\";
  if (strncmp(name, DEVICE_PREFIX, sizeof DEVICE_PREFIX - 1) == 0)
    name += sizeof DEVICE_PREFIX - 1;
  char mutex_name[MAX_PATH] = "tarvick port ";
  size_t length = strlen(mutex_name);
  for (; *name != '\0' && length + 1 < sizeof mutex_name; name++)
    mutex_name[length++] = *name == '\\' ? '/' : (char)toupper((unsigned char)*name);
  mutex_name[length] = '\0';
  HANDLE mutex = CreateMutexA(NULL, FALSE, mutex_name);
  if (mutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS) {
    claimed = mutex;
    return 0;
  }
  CloseHandle(mutex); // another run's: it may be let go while this one waits
  return ERROR_ACCESS_DENIED;
}

static bool is_console(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

bool error_is_terminal() {
  return is_console(STD_ERROR_HANDLE);
}

bool output_is_terminal() {
  return is_console(STD_OUTPUT_HANDLE);
}

// A console has no background.
bool error_in_foreground() {
  return true;
}

int terminal_width() {
  CONSOLE_SCREEN_BUFFER_INFO screen;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen))
    return 0;
  return screen.srWindow.Right - screen.srWindow.Left + 1;
}

static SRWLOCK drawing = SRWLOCK_INIT;

void hold_drawing() {
  AcquireSRWLockExclusive(&drawing);
}

void let_drawing_go() {
  ReleaseSRWLockExclusive(&drawing);
}

record_file make_record_file(const char *path) {
  if (strcmp(path, "-") == 0)
    return (record_file)GetStdHandle(STD_ERROR_HANDLE);
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  return file != INVALID_HANDLE_VALUE ? (record_file)file : NO_RECORD_FILE;
}

static bool write_all(HANDLE file, const char *text, size_t length) {
  DWORD written = 0;
  return WriteFile(file, text, (DWORD)length, &written, NULL) && written == length;
}

void write_record(record_file file, const char *text, size_t length) {
  write_all((HANDLE)file, text, length);
}

bool can_make_file(const char *path) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

bool replace_file(const char *temporary, const char *path, const char *const *parts,
                  const size_t *lengths, int count) {
  HANDLE file =
      CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  bool written = file != INVALID_HANDLE_VALUE;
  for (int i = 0; written && i < count; i++)
    written = write_all(file, parts[i], lengths[i]);
  written = written && FlushFileBuffers(file);
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  if (written && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING))
    return true;
  DeleteFileA(temporary);
  return false;
}

void write_error_at_once(const char *text, size_t length) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)length, &written, NULL);
}

void describe_error(unsigned code, char *text, size_t size) {
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, text, (DWORD)size, NULL);
  // The system's text ends with a line end of its own.
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.'))
    text[--length] = '\0';
  if (length == 0)
    snprintf(text, size, "error %u", code);
}
