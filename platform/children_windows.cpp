// Windows: child runs started by CreateProcess in a process group of their
// own, stopped by Ctrl-Break, and the station's stops taken from the
// console's control handler.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "children.h"
#include "command_lines.h"
#include "platform.h"

static std::string own_program() {
  char path[MAX_PATH * 4] = "";
  DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
  return length > 0 && length < sizeof path ? path : "";
}

// The environment block without the variables left out (names are the
// same in any case on Windows).
static std::string environment_without(const std::vector<std::string> &unset) {
  std::string block;
  char *strings = GetEnvironmentStringsA();
  for (const char *variable = strings; variable != NULL && *variable != '\0';
       variable += strlen(variable) + 1) {
    bool left_out = false;
    for (const std::string &name : unset)
      left_out = left_out || (_strnicmp(variable, name.c_str(), name.size()) == 0 &&
                              variable[name.size()] == '=');
    if (!left_out)
      block.append(variable, strlen(variable) + 1);
  }
  if (strings != NULL)
    FreeEnvironmentStringsA(strings);
  block += '\0';
  return block;
}

// A pipe whose write end the child inherits, and whose read end it does not.
static bool child_pipe(HANDLE *read_end, HANDLE *write_end) {
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
  if (!CreatePipe(read_end, write_end, &inherited, 0))
    return false;
  SetHandleInformation(*read_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

bool start_child(const std::vector<std::string> &args, const std::vector<std::string> &unset,
                 child_process *child) {
  std::string program = own_program();
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::string line = windows_command_line(words);
  std::string environment = environment_without(unset);
  HANDLE out_read, out_write, err_read, err_write;
  if (program.empty() || !child_pipe(&out_read, &out_write))
    return false;
  if (!child_pipe(&err_read, &err_write)) {
    CloseHandle(out_read);
    CloseHandle(out_write);
    return false;
  }
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
  HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, NULL);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION started = {};
  bool ok = CreateProcessA(program.c_str(), &line[0], NULL, NULL, TRUE, CREATE_NEW_PROCESS_GROUP,
                           &environment[0], NULL, &startup, &started) != 0;
  CloseHandle(out_write);
  CloseHandle(err_write);
  if (nothing != INVALID_HANDLE_VALUE)
    CloseHandle(nothing);
  if (!ok) {
    CloseHandle(out_read);
    CloseHandle(err_read);
    return false;
  }
  CloseHandle(started.hThread);
  *child = child_process{(intptr_t)started.hProcess, started.dwProcessId, (intptr_t)out_read,
                         (intptr_t)err_read};
  return true;
}

long read_from_child(intptr_t pipe, char *buffer, size_t size) {
  DWORD got = 0;
  if (!ReadFile((HANDLE)pipe, buffer, (DWORD)size, &got, NULL) || got == 0) {
    CloseHandle((HANDLE)pipe);
    return 0;
  }
  return (long)got;
}

// A group made with CREATE_NEW_PROCESS_GROUP takes no Ctrl-C: Ctrl-Break is
// how its run is stopped as at a console. Where the console will not carry
// it, the child is ended as Windows ends a stopped program.
void stop_child(const child_process &child, bool) {
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id))
    TerminateProcess((HANDLE)child.process, 0xC000013AL);
}

int wait_for_child(const child_process &child) {
  WaitForSingleObject((HANDLE)child.process, INFINITE);
  DWORD code = 2;
  GetExitCodeProcess((HANDLE)child.process, &code);
  CloseHandle((HANDLE)child.process);
  return (int)code;
}

static void (*stop_asked)(const char *, bool) = NULL;

// A closed console ends the process once the handler returns: it waits for
// the station, which ends the process itself.
static BOOL WINAPI take_stop(DWORD event) {
  stop_asked(event == CTRL_C_EVENT       ? "Ctrl-C"
             : event == CTRL_BREAK_EVENT ? "Ctrl-Break"
                                         : "the console closing",
             event == CTRL_C_EVENT);
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    Sleep(INFINITE);
  return TRUE;
}

void take_stops_on_a_thread(void (*asked)(const char *by, bool interrupt)) {
  stop_asked = asked;
  SetConsoleCtrlHandler(take_stop, TRUE);
}

// A port announced may not have its driver installed yet. Not every
// system has the call (Wine), and where it has not, the port is taken.
bool port_may_be_opened(const char *) {
  typedef DWORD(WINAPI * wait_call)(DWORD);
  HMODULE library = GetModuleHandleA("cfgmgr32.dll");
  if (library == NULL)
    library = LoadLibraryA("cfgmgr32.dll");
  wait_call no_pending =
      library ? (wait_call)(void *)GetProcAddress(library, "CMP_WaitNoPendingInstallEvents") : NULL;
  return no_pending == NULL || no_pending(0) == WAIT_OBJECT_0;
}

const char *append_line(const char *path, const std::string &line) {
  static char reason[256];
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  bool whole = file != INVALID_HANDLE_VALUE &&
               WriteFile(file, line.data(), (DWORD)line.size(), &written, NULL) &&
               written == line.size();
  unsigned code = (unsigned)GetLastError();
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  if (whole)
    return NULL;
  describe_error(code, reason, sizeof reason);
  return reason;
}

bool make_folder(const char *path) {
  if (CreateDirectoryA(path, NULL))
    return true;
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string make_temporary_folder() {
  char base[MAX_PATH] = "";
  if (GetTempPathA(sizeof base, base) == 0)
    return "";
  char folder[MAX_PATH + 64];
  snprintf(folder, sizeof folder, "%starvick-station-%lu-%lu", base, GetCurrentProcessId(),
           GetTickCount());
  return CreateDirectoryA(folder, NULL) ? folder : "";
}

void remove_temporary_folder(const std::string &folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do
      DeleteFileA((folder + "\\" + found.cFileName).c_str());
    while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}
