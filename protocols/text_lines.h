// The programming file as text lines, read the same way on every platform:
// LF or CR LF ends a line (a lone CR is data), a last line without a line end
// is still a line, and Ctrl-Z ends the text. Lines may be of any length and
// hold any byte, NUL included.
#pragma once

#include <windows.h>

#include <cstddef>

const DWORD TEXT_CHUNK_SIZE = 64 * 1024;
const char TEXT_END = 0x1A; // Ctrl-Z

struct text_file {
  HANDLE handle;
  const char *path;
  char chunk[TEXT_CHUNK_SIZE];
  DWORD chunk_length;
  DWORD chunk_offset;
  bool text_ended;
  char *line; // the current line, without its line end, with room for one byte more
  size_t line_length;
  size_t line_capacity;
  bool is_pipe;  // a pipe or FIFO, which tells its end by breaking
  bool read_any; // whether a read has been made
};

// Failures end the run naming the file: "fail to open", "fail to read from".
void open_text_file(text_file *file, const char *path);
bool read_text_line(text_file *file); // false when no line is left
void close_text_file(text_file *file);
