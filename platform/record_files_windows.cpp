// Windows: the record's files, with the system's own file calls.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "device_names_windows.h"
#include "record_files.h"

static const int TEMPORARY_ATTEMPTS = 100;
static const int MOVE_ATTEMPTS = 100;
static const DWORD MOVE_RETRY_MS = 10;

static const char *refused_by(DWORD error) {
  static char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                error, 0, text, sizeof text, NULL);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == '.' || text[length - 1] == ' '))
    text[--length] = '\0';
  if (length == 0)
    snprintf(text, sizeof text, "error %lu", (unsigned long)error);
  return text;
}

static bool is_separator(char c) {
  return c == '\\' || c == '/';
}

const char *record_place_refused(const char *path) {
  if (strcmp(path, "-") == 0)
    return NULL;
  if (strlen(path) >= RECORD_PATH_SIZE)
    return "the name is too long";
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return "that is a folder";
  return NULL;
}

const char *open_record_place(const char *path, bool whole, record_place *place) {
  *place = record_place{};
  place->stream = (intptr_t)INVALID_HANDLE_VALUE;
  if (!whole && strcmp(path, "-") == 0) {
    place->kind = RECORD_STREAM;
    place->stream = (intptr_t)GetStdHandle(STD_ERROR_HANDLE);
    return NULL;
  }
  if (const char *refused = record_place_refused(path))
    return refused;
  // A device or a pipe (NUL, \\.\pipe\...) is written directly.
  HANDLE existing = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                OPEN_EXISTING, 0, NULL);
  if (existing != INVALID_HANDLE_VALUE && GetFileType(existing) != FILE_TYPE_DISK) {
    place->kind = RECORD_STREAM;
    place->stream = (intptr_t)existing;
    return NULL;
  }
  if (existing != INVALID_HANDLE_VALUE)
    CloseHandle(existing);
  if (!whole) {
    HANDLE made = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (made == INVALID_HANDLE_VALUE)
      return refused_by(GetLastError());
    place->kind = RECORD_STREAM;
    place->stream = (intptr_t)made;
    return NULL;
  }
  place->kind = RECORD_REPLACED;
  strcpy(place->path, path);
  for (size_t i = strlen(path); i > 0; i--)
    if (is_separator(path[i - 1]) || path[i - 1] == ':') {
      place->folder = i;
      break;
    }
  return NULL;
}

static bool fail_place(record_place *place, DWORD error) {
  if (place->error == 0)
    place->error = (unsigned)error;
  return false;
}

static bool write_all(HANDLE file, const char *text, size_t length) {
  DWORD written = 0;
  return WriteFile(file, text, (DWORD)length, &written, NULL) && written == length;
}

bool write_to_stream(record_place *place, const char *text, size_t length) {
  return write_all((HANDLE)place->stream, text, length) || fail_place(place, GetLastError());
}

// The temporary being written: a stop removes it where the thread writing
// it was ended first (under Wine a SIGQUIT ends a thread at any moment, so
// its name is noted before the file is made).
static char unfinished[RECORD_PATH_SIZE + 64];
static volatile LONG unfinished_there = 0;

// A new file of a name of its own beside the report, noted as unfinished:
// CREATE_NEW refuses whatever is there already, a link planted in its way
// included. A name that is taken is no longer noted before the next is
// tried. It may be deleted while open: a thread ended while writing it
// leaves its handle open until the process ends.
static HANDLE make_temporary(const record_place *place) {
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; attempt++) {
    snprintf(unfinished, sizeof unfinished, "%.*s.tarvick-%lu-%lu.tmp", (int)place->folder,
             place->path, (unsigned long)GetCurrentProcessId(),
             (unsigned long)(GetTickCount() + (DWORD)attempt * 7919));
    InterlockedExchange(&unfinished_there, 1);
    HANDLE file = CreateFileA(unfinished, GENERIC_WRITE, FILE_SHARE_DELETE, NULL, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD error = GetLastError();
    if (file == INVALID_HANDLE_VALUE)
      InterlockedExchange(&unfinished_there, 0);
    if (file != INVALID_HANDLE_VALUE || error != ERROR_FILE_EXISTS) {
      SetLastError(error);
      return file;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// Another run replacing the same file at the same moment holds it for a
// while: its turn is waited for.
static bool move_over(const char *temporary, const char *path) {
  for (int attempt = 0; attempt < MOVE_ATTEMPTS; attempt++) {
    if (MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return true;
    DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
      return false;
    Sleep(MOVE_RETRY_MS);
  }
  return false;
}

static bool replace_through_temporary(record_place *place, const char *const *parts,
                                      const size_t *lengths, int count) {
  HANDLE file = make_temporary(place);
  if (file == INVALID_HANDLE_VALUE)
    return fail_place(place, GetLastError());
  const char *temporary = unfinished;
  bool written = true;
  for (int i = 0; written && i < count; i++)
    written = write_all(file, parts[i], lengths[i]);
  written = written && FlushFileBuffers(file);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (written && move_over(temporary, place->path)) {
    InterlockedExchange(&unfinished_there, 0);
    return true;
  }
  error = written ? GetLastError() : error;
  DeleteFileA(temporary);
  InterlockedExchange(&unfinished_there, 0);
  return fail_place(place, error != 0 ? error : ERROR_WRITE_FAULT);
}

// The run replaces a report on its thread while a stop may come on the
// console's: one at a time, and once a stop has the report, the run no
// longer writes it.
static volatile LONG replacing = 0;
static volatile DWORD stopping_thread = 0;

void settle_replacing_for_a_stop() {
  stopping_thread = GetCurrentThreadId();
  for (int waited = 0; waited < 1000 && InterlockedExchange(&replacing, 1) != 0; waited++)
    Sleep(1);
  if (InterlockedExchange(&unfinished_there, 0) != 0)
    DeleteFileA(unfinished);
}

bool replace_whole(record_place *place, const char *const *parts, const size_t *lengths,
                   int count) {
  if (place->kind == RECORD_STREAM)
    return write_parts(place, parts, lengths, count);
  if (stopping_thread != 0)
    return stopping_thread == GetCurrentThreadId() &&
           replace_through_temporary(place, parts, lengths, count);
  while (InterlockedExchange(&replacing, 1) != 0)
    Sleep(1);
  bool replaced = stopping_thread == 0 && replace_through_temporary(place, parts, lengths, count);
  InterlockedExchange(&replacing, 0);
  return replaced;
}

// The file's volume and number, where it is there.
static bool identity_of(const char *path, BY_HANDLE_FILE_INFORMATION *information) {
  HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool known = GetFileInformationByHandle(file, information) != 0;
  CloseHandle(file);
  return known;
}

bool same_file(const char *first, const char *second) {
  // A device is compared by its name: opening it to ask would touch it.
  char first_device[MAX_PATH], second_device[MAX_PATH];
  device_name(first, first_device, sizeof first_device);
  device_name(second, second_device, sizeof second_device);
  if (first_device[0] != '\0' || second_device[0] != '\0')
    return strcmp(first_device, second_device) == 0;
  BY_HANDLE_FILE_INFORMATION one, other;
  bool first_there = identity_of(first, &one), second_there = identity_of(second, &other);
  if (first_there && second_there)
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
  if (first_there != second_there)
    return false;
  char first_name[MAX_PATH * 4], second_name[MAX_PATH * 4];
  if (GetFullPathNameA(first, sizeof first_name, first_name, NULL) == 0 ||
      GetFullPathNameA(second, sizeof second_name, second_name, NULL) == 0)
    return _stricmp(first, second) == 0;
  return _stricmp(first_name, second_name) == 0;
}
