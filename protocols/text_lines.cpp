// Reading the programming file as text lines, from a file, a pipe or a FIFO.
#include "text_lines.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../base/report.h"
#include "../base/status_line.h"

static const DWORD PIPE_POLL_MS = 100;

// A pipe or FIFO whose writer has not written yet is waited for, with a
// line that says so for a person at a terminal.
static void await_writing(const text_file *file) {
  DWORD available = 0;
  bool waited = false;
  while (PeekNamedPipe(file->handle, NULL, 0, NULL, &available, NULL) && available == 0) {
    if (!waited)
      show_status("waiting for %s to be written", file->path);
    waited = true;
    Sleep(PIPE_POLL_MS);
  }
  if (waited)
    clear_status();
}

void open_text_file(text_file *file, const char *path) {
  file->path = path;
  // Shared for writing too, as a text-mode open of the C runtime: a file
  // that an editor or a generator still has open can be read.
  file->handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, 0, NULL);
  if (file->handle == INVALID_HANDLE_VALUE)
    report_and_exit(&OPEN_FILE_FAILED, path, last_error_code());
  file->chunk_length = 0;
  file->chunk_offset = 0;
  file->text_ended = false;
  file->line = NULL;
  file->line_length = 0;
  file->line_capacity = 0;
  file->is_pipe = GetFileType(file->handle) == FILE_TYPE_PIPE;
  file->read_any = false;
  if (file->is_pipe)
    await_writing(file);
}

void close_text_file(text_file *file) {
  CloseHandle(file->handle);
  free(file->line);
}

// Reads the next chunk; false at the end of the file, which a pipe tells
// by breaking. A pipe that gives nothing at all without breaking is a FIFO
// under Wine, which reads one with no writer yet as empty: the run says so
// rather than take it for an empty file.
static bool refill_chunk(text_file *file) {
  DWORD got = 0;
  BOOL read = ReadFile(file->handle, file->chunk, TEXT_CHUNK_SIZE, &got, NULL);
  if (!read && GetLastError() != ERROR_BROKEN_PIPE)
    report_and_exit(&READ_FILE_FAILED, file->path, last_error_code());
  if (read && got == 0 && file->is_pipe && !file->read_any)
    report_and_exit(&READ_FILE_FAILED, file->path, (unsigned)ERROR_NO_DATA);
  file->read_any = true;
  file->chunk_length = got;
  file->chunk_offset = 0;
  return got > 0;
}

// Appends to the current line, keeping room for one byte past it.
static void append_to_line(text_file *file, const char *bytes, size_t count) {
  size_t needed = file->line_length + count + 1;
  if (needed > file->line_capacity) {
    size_t capacity = file->line_capacity == 0 ? 256 : file->line_capacity;
    // Doubling stops short of wrapping round, which a 32-bit size would.
    while (capacity < needed && capacity <= SIZE_MAX / 2)
      capacity *= 2;
    char *grown = capacity < needed ? NULL : static_cast<char *>(realloc(file->line, capacity));
    if (grown == NULL)
      report_and_exit(&NO_MEMORY);
    file->line = grown;
    file->line_capacity = capacity;
  }
  if (count > 0)
    memcpy(file->line + file->line_length, bytes, count);
  file->line_length += count;
}

bool read_text_line(text_file *file) {
  file->line_length = 0;
  append_to_line(file, NULL, 0); // the line buffer exists, even for an empty line
  bool line_started = false;
  for (;;) {
    if (file->chunk_offset == file->chunk_length && (file->text_ended || !refill_chunk(file))) {
      file->text_ended = true;
      return line_started; // a last line needs no line end
    }
    const char *start = file->chunk + file->chunk_offset;
    size_t available = file->chunk_length - file->chunk_offset;
    const char *line_end = static_cast<const char *>(memchr(start, '\n', available));
    size_t take = line_end ? (size_t)(line_end - start) : available;
    const char *text_end = static_cast<const char *>(memchr(start, TEXT_END, take));
    if (text_end != NULL) {
      append_to_line(file, start, (size_t)(text_end - start));
      file->chunk_offset = file->chunk_length;
      file->text_ended = true;
      return line_started || text_end > start;
    }
    append_to_line(file, start, take);
    line_started = line_started || take > 0;
    if (line_end == NULL) {
      file->chunk_offset = file->chunk_length;
      continue;
    }
    file->chunk_offset += (DWORD)take + 1;
    // A CR right before the LF belongs to the line end (it may have come
    // in the chunk before).
    if (file->line_length > 0 && file->line[file->line_length - 1] == '\r')
      file->line_length--;
    return true;
  }
}
