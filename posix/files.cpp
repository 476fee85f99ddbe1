// Files and devices as handles: CreateFileA, ReadFile, WriteFile and the rest.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include <tty_settings.h>

#include "comm_io.h"
#include "handle.h"
#include "held_ports.h"

// A single read or write moves at most this much, below every system's limit.
static const size_t MAX_TRANSFER = 1u << 30;

// Files are opened to be read, ports to be read and written.
static int open_flags(DWORD access) {
  int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  return flags | ((access & GENERIC_WRITE) ? O_RDWR : O_RDONLY);
}

static HANDLE fail_open(int fd, int error_code) {
  if (fd >= 0)
    close(fd);
  SetLastError((DWORD)error_code);
  return INVALID_HANDLE_VALUE;
}

static bool same_device(dev_t device, const char *path) {
  struct stat status;
  return stat(path, &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == device;
}

// A console is no communications device on Windows; here the terminal the
// person works at is none: the controlling terminal, by any name, a
// terminal that a standard stream is, and the multiplexer that makes new
// pseudo-terminals. Sending the handshake there would write to their
// screen and leave their terminal raw.
static bool is_console(const struct stat &status) {
  if (same_device(status.st_rdev, "/dev/tty") || same_device(status.st_rdev, "/dev/ptmx") ||
      status.st_rdev == controlling_terminal())
    return true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    struct stat stream;
    if (isatty(fd) && fstat(fd, &stream) == 0 && stream.st_rdev == status.st_rdev)
      return true;
  }
  return false;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (dwCreationDisposition != OPEN_EXISTING)
    return fail_open(-1, EINVAL);
  // Non-blocking so that opening a port never waits for carrier, nor a
  // FIFO for its writer (a read waits for that instead).
  int fd = open(lpFileName, open_flags(dwDesiredAccess));
  if (fd < 0)
    return fail_open(fd, errno);
  struct stat status;
  if (fstat(fd, &status) != 0)
    return fail_open(fd, errno);
  // Like CreateFileA without backup semantics, a directory is no file.
  if (S_ISDIR(status.st_mode))
    return fail_open(fd, EISDIR);
  if (dwShareMode == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0)
    return fail_open(fd, errno);
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    return fail_open(fd, errno);
  bool is_tty = isatty(fd) && !is_console(status);
  posix_handle *handle = new (std::nothrow)
      posix_handle{fd, is_tty, S_ISREG(status.st_mode), S_ISFIFO(status.st_mode), COMMTIMEOUTS{}};
  if (handle == nullptr)
    return fail_open(fd, ENOMEM);
  if (is_tty && dwShareMode == 0)
    hold_port(fd);
  return handle;
}

BOOL CloseHandle(HANDLE hObject) {
  posix_handle *file = handle_of(hObject);
  if (file == nullptr)
    return FALSE;
  if (file->is_tty)
    release_port(file->fd);
  int result = close(file->fd);
  delete file;
  return result == 0 ? TRUE : fail_with(errno);
}

// A FIFO opened before its writer reads as ended: wait until the writer has
// come and written, or come and gone. (Linux reports no hang-up for a
// writer that never came.)
static bool await_writer(int fd) {
  pollfd request = {fd, POLLIN, 0};
  int ready;
  while ((ready = poll(&request, 1, -1)) < 0 && errno == EINTR)
    ;
  return ready > 0;
}

// A regular file delivers the whole count unless it ends first. A pipe, a
// FIFO or a device delivers what one read gives, as a pipe does on Windows,
// so that lines a generator has written go out without waiting for more.
static BOOL read_file(const posix_handle *file, BYTE *buffer, DWORD count, DWORD *delivered) {
  if (file->is_fifo && !await_writer(file->fd))
    return fail_with(errno);
  int fd = file->fd;
  bool is_regular = file->is_regular;
  while (*delivered < count && (is_regular || *delivered == 0)) {
    size_t piece = count - *delivered < MAX_TRANSFER ? count - *delivered : MAX_TRANSFER;
    ssize_t got = read(fd, buffer + *delivered, piece);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      return fail_with(errno);
    if (got == 0)
      break;
    *delivered += (DWORD)got;
  }
  // A pipe that has ended breaks, as on Windows.
  return *delivered == 0 && count > 0 && file->is_fifo ? fail_with(EPIPE) : TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
  DWORD delivered = 0;
  posix_handle *file = handle_of(hFile);
  BOOL ok = FALSE;
  if (file != nullptr && file->is_tty)
    ok = read_port(file, static_cast<BYTE *>(lpBuffer), nNumberOfBytesToRead, &delivered);
  else if (file != nullptr)
    ok = read_file(file, static_cast<BYTE *>(lpBuffer), nNumberOfBytesToRead, &delivered);
  if (lpNumberOfBytesRead != nullptr)
    *lpNumberOfBytesRead = delivered;
  return ok;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
  DWORD written = 0;
  posix_handle *file = handle_of(hFile);
  const BYTE *bytes = static_cast<const BYTE *>(lpBuffer);
  BOOL ok = FALSE;
  // Only a port is written; a file is open for reading only.
  if (file != nullptr && file->is_tty)
    ok = write_port(file, bytes, nNumberOfBytesToWrite, &written);
  else if (file != nullptr)
    ok = fail_with(EBADF);
  if (lpNumberOfBytesWritten != nullptr)
    *lpNumberOfBytesWritten = written;
  return ok;
}

DWORD GetFileType(HANDLE hFile) {
  posix_handle *file = handle_of(hFile);
  if (file == nullptr)
    return 0; // FILE_TYPE_UNKNOWN
  return file->is_fifo ? FILE_TYPE_PIPE : file->is_regular ? FILE_TYPE_DISK : FILE_TYPE_CHAR;
}

// What a pipe or FIFO holds for reading now; a writer that came and went
// leaves it broken, as on Windows. Only the count of bytes is told.
BOOL PeekNamedPipe(HANDLE hNamedPipe, LPVOID, DWORD, LPDWORD, LPDWORD lpTotalBytesAvail, LPDWORD) {
  posix_handle *pipe = handle_of(hNamedPipe);
  if (pipe == nullptr)
    return FALSE;
  if (!pipe->is_fifo)
    return fail_with(EINVAL);
  pollfd request = {pipe->fd, POLLIN, 0};
  int waiting = 0;
  if (poll(&request, 1, 0) < 0 || ioctl(pipe->fd, FIONREAD, &waiting) != 0)
    return fail_with(errno);
  if (waiting == 0 && (request.revents & POLLHUP))
    return fail_with(EPIPE);
  *lpTotalBytesAvail = (DWORD)waiting;
  return TRUE;
}

BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  posix_handle *file = handle_of(hFile);
  if (file == nullptr)
    return FALSE;
  struct stat status;
  if (fstat(file->fd, &status) != 0)
    return fail_with(errno);
  // A pipe, a FIFO or a device has no size to take: Windows' own call
  // fails on a pipe, and a size of 0 would load nothing and call it done.
  if (!S_ISREG(status.st_mode))
    return fail_with(ESPIPE);
  // Only the size: nothing asks for the rest of the record.
  uint64_t size = (uint64_t)status.st_size;
  *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
  lpFileInformation->nFileSizeHigh = (DWORD)(size >> 32);
  lpFileInformation->nFileSizeLow = (DWORD)size;
  return TRUE;
}
