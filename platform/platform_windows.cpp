// Windows: tuning for the port and the image, the console, and the
// system's error texts.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "device_names_windows.h"
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

// A device's name as Windows resolves it: the prefixes \\.\ and \\?\, a
// trailing colon, trailing blanks and case make no difference. Empty for a
// name that is no device.
void device_name(const char *name, char *device, size_t size) {
  static const char *const DEVICES[] = {"COM", "LPT", "NUL", "CON", "AUX", "PRN"};
  bool prefixed = strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "\\\\?\\", 4) == 0;
  const char *start = prefixed ? name + 4 : name;
  while (prefixed && (*start == '\\' || *start == '/'))
    start++;
  size_t length = strlen(start);
  while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == ':'))
    length--;
  bool known = prefixed;
  for (const char *kind : DEVICES)
    known =
        known || (length >= 3 && _strnicmp(start, kind, 3) == 0 &&
                  (length == 3 || (length <= 6 && strspn(start + 3, "0123456789") >= length - 3)));
  snprintf(device, size, "%.*s", known ? (int)length : 0, start);
  CharUpperA(device);
}

// Windows refuses a second open of a COM port; Wine does not, and the
// second run's handshake went into the first one's image. A named mutex per
// port, held until the process ends, refuses it as Windows would. Under
// Wine the port is known by the device behind its link, which the handle's
// final path names (\\?\Z:\dev\pts\3), so that every spelling of a
// port, and two COM names for one device, are one port; elsewhere by its
// name as Windows resolves it.
unsigned claim_port(HANDLE port, const char *name) {
  static HANDLE claimed = NULL; // this run's, once it has it
  if (claimed != NULL)
    return 0;
  char key[MAX_PATH * 2];
  DWORD length = GetFinalPathNameByHandleA(port, key, sizeof key, 0);
  if (length == 0 || length >= sizeof key)
    device_name(name, key, sizeof key);
  if (key[0] == '\0')
    snprintf(key, sizeof key, "%s", name);
  char mutex_name[MAX_PATH * 2 + 16] = "tarvick port ";
  size_t used = strlen(mutex_name);
  for (const char *at = key; *at != '\0' && used + 1 < sizeof mutex_name; at++)
    mutex_name[used++] = *at == '\\' ? '/' : (char)toupper((unsigned char)*at);
  mutex_name[used] = '\0';
  HANDLE mutex = CreateMutexA(NULL, FALSE, mutex_name);
  if (mutex == NULL || GetLastError() != ERROR_ALREADY_EXISTS) {
    claimed = mutex;
    return 0;
  }
  CloseHandle(mutex); // another run's: it may be let go while this one waits
  return ERROR_ACCESS_DENIED;
}

unsigned port_missing_code() {
  return ERROR_FILE_NOT_FOUND;
}

// A device is asked by its \\.\ name, as a bare COM1 to COM9 is always
// there to Wine. A port that is there may refuse the question itself (a
// serial driver answers 87, Wine too; a port in use 5): only a name the
// system cannot find is missing.
static bool device_exists(const char *device) {
  char path[MAX_PATH + 8];
  snprintf(path, sizeof path, "\\\\.\\%s", device);
  if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
    return true;
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
         error != ERROR_BAD_DEV_TYPE && error != ERROR_INVALID_NAME;
}

bool name_exists(const char *name) {
  char device[MAX_PATH];
  device_name(name, device, sizeof device);
  if (device[0] != '\0')
    return device_exists(device);
  return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

bool port_is_forbidden(unsigned) {
  return false; // a port another program has is refused with 5 too: busy
}

bool cts_flow_drives_rts() {
  return false;
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

// A console takes a write at once while it is kept still.
bool error_takes_output_now() {
  return true;
}

static HANDLE console_input = INVALID_HANDLE_VALUE;
static DWORD console_mode_found = 0;

// QuickEdit (on by default since Windows 10) pauses every write to the
// console while a person has selected text in it, until a key is pressed:
// the marks of the programming lines, and with them the lines themselves.
void keep_console_still() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(input, &mode) || !(mode & ENABLE_QUICK_EDIT_MODE))
    return;
  if (SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~(DWORD)ENABLE_QUICK_EDIT_MODE)) {
    console_mode_found = mode;
    console_input = input;
  }
}

// The active code page is UTF-8 where the manifest is honoured (Windows 10
// 1903 and later); elsewhere names come in the system's own code page.
static HANDLE console_output = INVALID_HANDLE_VALUE;
static DWORD output_mode_found = 0;

bool terminal_moves_cursor() {
  const DWORD VIRTUAL_TERMINAL = 0x0004; // ENABLE_VIRTUAL_TERMINAL_PROCESSING, Windows 10 on
  HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(output, &mode))
    return false;
  if (mode & VIRTUAL_TERMINAL)
    return true;
  if (!SetConsoleMode(output, mode | VIRTUAL_TERMINAL))
    return false;
  output_mode_found = mode;
  console_output = output;
  return true;
}

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

void put_back_system_state() {
  if (console_input != INVALID_HANDLE_VALUE)
    SetConsoleMode(console_input, console_mode_found | ENABLE_EXTENDED_FLAGS);
  console_input = INVALID_HANDLE_VALUE;
  if (console_output != INVALID_HANDLE_VALUE)
    SetConsoleMode(console_output, output_mode_found);
  console_output = INVALID_HANDLE_VALUE;
}

unsigned write_error_at_once(const char *text, size_t length) {
  DWORD written = 0;
  if (!WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)length, &written, NULL))
    return (unsigned)GetLastError();
  return written == length ? 0 : (unsigned)ERROR_WRITE_FAULT;
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
