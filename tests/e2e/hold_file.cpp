// hold_file.exe FILE PROGRAM ARGS...: keeps FILE open for writing, as an
// editor or a generator would, while PROGRAM runs; ends with its status.
// Windows only: its share modes hold between Windows processes.
#include <windows.h>

#include <string>

int main(int argc, char **argv) {
  if (argc < 3)
    return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (held == INVALID_HANDLE_VALUE)
    return 3;
  std::string command;
  for (int i = 2; i < argc; i++)
    command += std::string(i > 2 ? " \"" : "\"") + argv[i] + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
    return 4;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 4;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(held);
  return (int)status;
}
