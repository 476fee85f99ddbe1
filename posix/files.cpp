// Files and devices as handles: CreateFileA, ReadFile, WriteFile and the rest.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <new>

#include "handle.h"
#include "tty_settings.h"

static const DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
static const DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// A single read or write moves at most this much, below every system's limit.
static const size_t MAX_TRANSFER = 1u << 30;

// What a run holds on the ports it opened for exclusive use: the TIOCEXCL
// mark, which belongs to the device and outlives the descriptor while
// another process has the device open, and the driver's low-latency flag.
// Both are given back at exit and when a signal stops the run, as Windows
// ends exclusive use when the process ends, however it ends. Only what
// this run changed is undone.
struct held_port {
  int fd;
  bool marked_exclusive;
  bool set_low_latency;
  int serial_flags; // the driver's flags before
};

static const int MAX_HELD = 8;
static held_port held_ports[MAX_HELD];
static volatile sig_atomic_t held_count = 0;
static const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// System calls only: it also runs in a signal handler.
static void release_held_ports() {
  int count = held_count;
  held_count = 0;
  for (int i = 0; i < count; i++) {
    if (held_ports[i].marked_exclusive)
      ioctl(held_ports[i].fd, TIOCNXCL);
    if (held_ports[i].set_low_latency)
      restore_serial_flags(held_ports[i].fd, held_ports[i].serial_flags);
  }
}

// Gives the ports back, then ends by the same signal, so that the caller
// still sees how the run ended.
static void release_and_stop(int signal_number) {
  release_held_ports();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

static void release_on_exit_and_signals() {
  atexit(release_held_ports);
  for (int signal_number : STOP_SIGNALS) {
    struct sigaction previous;
    // A signal that the caller chose to ignore (nohup) stays ignored.
    if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
      continue;
    struct sigaction action = {};
    action.sa_handler = release_and_stop;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

static void hold_port(int fd) {
  if (held_count == MAX_HELD)
    return;
  held_port port = {fd, false, false, 0};
  port.marked_exclusive = !tty_is_exclusive(fd) && ioctl(fd, TIOCEXCL) == 0;
  port.set_low_latency = set_low_latency(fd, &port.serial_flags);
  if (held_count == 0)
    release_on_exit_and_signals();
  held_ports[held_count] = port;
  held_count = held_count + 1;
}

// Before main, as careful programs do: descriptors 0, 1 and 2 must be open,
// or the port would be opened as one of them and the messages meant for
// standard output would go down the serial line. And a reader of standard
// output that goes away (tarvick ... | head) must not end a load half way,
// as it does not on Windows: the writes then fail quietly.
__attribute__((constructor)) static void prepare_process() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
      break;
  signal(SIGPIPE, SIG_IGN);
}

static int open_flags(DWORD access, DWORD disposition) {
  int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
    flags |= O_RDWR;
  else if (access & GENERIC_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  if (disposition == CREATE_ALWAYS)
    flags |= O_CREAT | O_TRUNC;
  else if (disposition == CREATE_NEW)
    flags |= O_CREAT | O_EXCL;
  return flags;
}

static HANDLE fail_open(int fd, int error_code) {
  if (fd >= 0)
    close(fd);
  SetLastError((DWORD)error_code);
  return INVALID_HANDLE_VALUE;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != CREATE_ALWAYS &&
      dwCreationDisposition != CREATE_NEW)
    return fail_open(-1, EINVAL);
  // Non-blocking so that opening a port never waits for carrier.
  int fd = open(lpFileName, open_flags(dwDesiredAccess, dwCreationDisposition), 0666);
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
  bool is_tty = isatty(fd);
  bool is_regular = S_ISREG(status.st_mode);
  posix_handle *handle = new (std::nothrow) posix_handle{fd, is_tty, is_regular, COMMTIMEOUTS{}};
  if (handle == nullptr)
    return fail_open(fd, ENOMEM);
  if (is_tty && dwShareMode == 0)
    hold_port(fd);
  return handle;
}

posix_handle *handle_of(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SetLastError(EBADF);
    return nullptr;
  }
  return static_cast<posix_handle *>(handle);
}

BOOL CloseHandle(HANDLE hObject) {
  posix_handle *file = handle_of(hObject);
  if (file == nullptr)
    return FALSE;
  int result = close(file->fd);
  delete file;
  return result == 0 ? TRUE : fail_with(errno);
}

// Reading a large file into fresh memory takes a page fault for every 4 KiB,
// and in a virtual machine a fault is dear: 64 MiB cost 0.2 s on one, ten
// times the copy itself. Huge pages, where the system offers them, take 512
// times fewer. Only a hint: the memory and what is read stay the same.
static void prefer_huge_pages(BYTE *buffer, size_t count) {
#ifdef MADV_HUGEPAGE
  const uintptr_t HUGE_PAGE = 2u << 20;
  if (count < 4 * HUGE_PAGE)
    return;
  uintptr_t start = ((uintptr_t)buffer + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  uintptr_t end = ((uintptr_t)buffer + count) & ~(HUGE_PAGE - 1);
  madvise((void *)start, end - start, MADV_HUGEPAGE);
#else
  (void)buffer;
  (void)count;
#endif
}

// A regular file delivers the whole count unless it ends first. A pipe, a
// FIFO or a device delivers what one read gives, as a pipe does on Windows,
// so that lines a generator has written go out without waiting for more.
static BOOL read_file(int fd, bool is_regular, BYTE *buffer, DWORD count, DWORD *delivered) {
  prefer_huge_pages(buffer, count);
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
  return TRUE;
}

static BOOL write_file(int fd, const BYTE *buffer, DWORD count, DWORD *written) {
  while (*written < count) {
    size_t piece = count - *written < MAX_TRANSFER ? count - *written : MAX_TRANSFER;
    ssize_t put = write(fd, buffer + *written, piece);
    if (put < 0 && errno == EINTR)
      continue;
    if (put < 0)
      return fail_with(errno);
    *written += (DWORD)put;
  }
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
  DWORD delivered = 0;
  posix_handle *file = handle_of(hFile);
  BOOL ok = FALSE;
  if (file != nullptr && file->is_tty)
    ok = read_port(file, static_cast<BYTE *>(lpBuffer), nNumberOfBytesToRead, &delivered);
  else if (file != nullptr)
    ok = read_file(file->fd, file->is_regular, static_cast<BYTE *>(lpBuffer), nNumberOfBytesToRead,
                   &delivered);
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
  if (file != nullptr && file->is_tty)
    ok = write_port(file, bytes, nNumberOfBytesToWrite, &written);
  else if (file != nullptr)
    ok = write_file(file->fd, bytes, nNumberOfBytesToWrite, &written);
  if (lpNumberOfBytesWritten != nullptr)
    *lpNumberOfBytesWritten = written;
  return ok;
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
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
    return fail_with(ESPIPE);
  uint64_t size = (uint64_t)status.st_size;
  uint64_t index = (uint64_t)status.st_ino;
  *lpFileInformation = BY_HANDLE_FILE_INFORMATION{};
  lpFileInformation->dwFileAttributes =
      S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  lpFileInformation->dwVolumeSerialNumber = (DWORD)status.st_dev;
  lpFileInformation->nFileSizeHigh = (DWORD)(size >> 32);
  lpFileInformation->nFileSizeLow = (DWORD)size;
  lpFileInformation->nNumberOfLinks = (DWORD)status.st_nlink;
  lpFileInformation->nFileIndexHigh = (DWORD)(index >> 32);
  lpFileInformation->nFileIndexLow = (DWORD)index;
  return TRUE;
}
