// Linux and macOS: the record's files, with plain system calls.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "record_files.h"

// How long a FIFO or a device may take nothing before it is given up.
static const int STREAM_PATIENCE_MS = 5000;
static const int TEMPORARY_ATTEMPTS = 100;

static const char *refused_by(int error) {
  return error == ENXIO ? "a FIFO with no reader" : strerror(error);
}

// Where `path` leads, as open() follows it: the kernel resolves the links,
// and refuses one its rules do not let this user follow (a link of another
// user's in a sticky folder, fs.protected_symlinks). On Linux the file is
// first opened as a path only (nothing of it is read, a device's lines are
// not touched), which the kernel's rules judge; realpath then names it.
// Gives null, with the resolved name in `into` (unchanged for a file not
// there yet); or why it leads nowhere usable.
static const char *resolve_as_open(const char *path, char *into) {
#ifdef O_PATH
  int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT ? nullptr : strerror(errno); // not there: a file made new
  close(fd);
#endif
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr)
    return errno == ENOENT ? nullptr : strerror(errno);
  if (strlen(resolved) >= RECORD_PATH_SIZE)
    return "the name is too long";
  strcpy(into, resolved);
  return nullptr;
}

// A link that open() would not follow to a file: one that leads nowhere,
// a loop, one the system does not let this user follow.
static const char *link_refused(const char *path) {
  struct stat link;
  if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode))
    return nullptr;
  struct stat target;
  if (stat(path, &target) == 0)
    return nullptr;
  return errno == ELOOP    ? "a loop of links"
         : errno == ENOENT ? "a link that leads nowhere"
                           : strerror(errno);
}

const char *record_place_refused(const char *path) {
  if (strcmp(path, "-") == 0)
    return nullptr;
  if (strlen(path) >= RECORD_PATH_SIZE)
    return "the name is too long";
  if (const char *refused = link_refused(path))
    return refused;
  struct stat status;
  if (stat(path, &status) == 0 && S_ISDIR(status.st_mode))
    return "that is a folder";
  return nullptr;
}

static const char *open_stream(const char *path, int flags, record_place *place) {
  int fd = open(path, flags | O_WRONLY | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0)
    return refused_by(errno);
  place->kind = RECORD_STREAM;
  place->stream = fd;
  return nullptr;
}

// The trace is opened before it is judged. It is made new where nothing is
// there, refusing whatever appears in its place meanwhile (O_EXCL,
// O_NOFOLLOW); what is there is opened as open() follows it; and no open
// waits (O_NONBLOCK: a FIFO with no reader is refused). Then fstat says
// what was opened: a regular file is emptied, a FIFO or a device written as
// it is.
static const char *open_trace_file(const char *path, record_place *place) {
  int fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_CREAT | O_EXCL | O_NOFOLLOW,
                0644);
  if (fd < 0 && errno == EEXIST)
    fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return errno == EISDIR ? "that is a folder" : refused_by(errno);
  struct stat status;
  if (fstat(fd, &status) != 0 || (S_ISREG(status.st_mode) && ftruncate(fd, 0) != 0)) {
    int error = errno;
    close(fd);
    return strerror(error);
  }
  place->kind = RECORD_STREAM;
  place->stream = fd;
  return nullptr;
}

const char *open_record_place(const char *path, bool whole, record_place *place) {
  *place = record_place{};
  place->stream = -1;
  if (!whole && strcmp(path, "-") == 0) {
    place->kind = RECORD_STREAM;
    place->stream = STDERR_FILENO;
    return nullptr;
  }
  if (const char *refused = record_place_refused(path))
    return refused;
  if (!whole)
    return open_trace_file(path, place);
  // The report: a FIFO or a device is written directly, and never waited
  // for; a file is replaced where its name leads, the links staying.
  struct stat status;
  if (stat(path, &status) == 0 && !S_ISREG(status.st_mode))
    return open_stream(path, O_NONBLOCK, place);
  strcpy(place->path, path);
  if (const char *refused = resolve_as_open(path, place->path))
    return refused;
  place->kind = RECORD_REPLACED;
  const char *slash = strrchr(place->path, '/');
  place->folder = slash != nullptr ? (size_t)(slash - place->path) + 1 : 0;
  return nullptr;
}

static bool fail_place(record_place *place, int error) {
  if (place->error == 0)
    place->error = (unsigned)error;
  return false;
}

// A stream that is full (a FIFO whose reader is slow) is waited for, a few
// seconds at the most.
bool write_to_stream(record_place *place, const char *text, size_t length) {
  int fd = (int)place->stream;
  while (length > 0) {
    ssize_t put = write(fd, text, length);
    if (put < 0 && errno == EINTR)
      continue;
    if (put < 0 && errno == EAGAIN) {
      pollfd writable = {fd, POLLOUT, 0};
      int ready = poll(&writable, 1, STREAM_PATIENCE_MS);
      if (ready == 0)
        return fail_place(place, ETIMEDOUT);
      if (ready < 0 && errno != EINTR)
        return fail_place(place, errno);
      continue;
    }
    if (put <= 0)
      return fail_place(place, put < 0 ? errno : EIO);
    text += put;
    length -= (size_t)put;
  }
  return true;
}

// A decimal number at `text`; gives where it ends. Safe in a signal handler.
static char *put_number(char *text, unsigned long number) {
  char backwards[24];
  int length = 0;
  do
    backwards[length++] = (char)('0' + number % 10);
  while ((number /= 10) != 0);
  while (length > 0)
    *text++ = backwards[--length];
  return text;
}

// A new file of a name of its own beside the report: O_EXCL and O_NOFOLLOW
// refuse whatever is there already, a link planted in its way included.
static int make_temporary(const record_place *place, char *name) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; attempt++) {
    memcpy(name, place->path, place->folder);
    char *at = name + place->folder;
    memcpy(at, ".tarvick-", 9);
    at = put_number(at + 9, (unsigned long)getpid());
    *at++ = '-';
    at = put_number(at, (unsigned long)now.tv_nsec + (unsigned long)attempt * 7919);
    memcpy(at, ".tmp", 5);
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  errno = EEXIST;
  return -1;
}

static bool write_all(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t put = write(fd, text, length);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    text += put;
    length -= (size_t)put;
  }
  return true;
}

// The temporary being written, which a stop that comes meanwhile removes.
static char unfinished[RECORD_PATH_SIZE + 64];
static volatile sig_atomic_t unfinished_there = 0;

// Makes the temporary and notes it with every signal held off, so that a
// stop finds it noted the moment it is there.
static int make_noted_temporary(const record_place *place) {
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  int fd = make_temporary(place, unfinished);
  int error = errno;
  unfinished_there = fd >= 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = error;
  return fd;
}

void settle_replacing_for_a_stop() {
  if (unfinished_there)
    unlink(unfinished);
  unfinished_there = 0;
}

bool replace_whole(record_place *place, const char *const *parts, const size_t *lengths,
                   int count) {
  if (place->kind == RECORD_STREAM)
    return write_parts(place, parts, lengths, count);
  int fd = make_noted_temporary(place);
  if (fd < 0)
    return fail_place(place, errno);
  const char *temporary = unfinished;
  bool written = true;
  for (int i = 0; written && i < count; i++)
    written = write_all(fd, parts[i], lengths[i]);
  written = written && fsync(fd) == 0;
  int error = errno;
  written = close(fd) == 0 && written;
  if (written && rename(temporary, place->path) == 0) {
    unfinished_there = 0;
    return true;
  }
  error = written ? errno : error;
  unlink(temporary);
  unfinished_there = 0;
  return fail_place(place, error != 0 ? error : EIO);
}

// The name with its folder resolved, for a file that is not there (yet).
static void resolved_name(const char *path, char *into, size_t size) {
  const char *slash = strrchr(path, '/');
  char folder[PATH_MAX], resolved[PATH_MAX];
  if (slash == nullptr)
    snprintf(folder, sizeof folder, ".");
  else
    snprintf(folder, sizeof folder, "%.*s", slash == path ? 1 : (int)(slash - path), path);
  const char *name = slash != nullptr ? slash + 1 : path;
  if (realpath(folder, resolved) == nullptr)
    snprintf(into, size, "%s", path);
  else
    snprintf(into, size, "%s/%s", resolved, name);
}

bool same_file(const char *first, const char *second) {
  struct stat one, other;
  bool first_there = stat(first, &one) == 0, second_there = stat(second, &other) == 0;
  if (first_there && second_there)
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
  if (first_there != second_there)
    return false;
  char first_name[PATH_MAX + NAME_MAX], second_name[PATH_MAX + NAME_MAX];
  resolved_name(first, first_name, sizeof first_name);
  resolved_name(second, second_name, sizeof second_name);
  return strcmp(first_name, second_name) == 0;
}
