// Windows: tuning for the port and the image, the console, and the
// system's error texts.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <system_error>

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

// The active code page is UTF-8 where the manifest is honoured (Windows 10
// 1903 and later); elsewhere names come in the system's own code page.
std::string text_in_utf8(const char *text) {
  if (GetACP() == CP_UTF8)
    return text;
  int wide_length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
  std::wstring wide(wide_length > 0 ? (size_t)wide_length : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], wide_length);
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, NULL, 0, NULL, NULL);
  std::string converted(length > 0 ? (size_t)length : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &converted[0], length, NULL, NULL);
  converted.resize(strlen(converted.c_str()));
  return converted;
}

bool start_helper(std::thread *thread, void (*body)()) {
  try {
    *thread = std::thread(body);
  } catch (const std::system_error &) {
    return false;
  }
  return true;
}

// A console's stop events come on a thread of their own, which waits for
// a run already on its way out.
void hold_stops() {}

// TerminateProcess runs no library clean-up and no DLL's detach under a
// thread that was stopped in the middle of it.
void end_stopped(int how) {
  TerminateProcess(GetCurrentProcess(), (UINT)how);
  ExitProcess((UINT)how);
}

void put_back_system_state() {}

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
