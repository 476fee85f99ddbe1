// The programming file's lines, said as plainly as possible, to check the
// chunked reader against: Ctrl-Z ends the text, LF or CR LF ends a line, and
// a last line needs no line end.
#pragma once

#include <string>
#include <vector>

#include "../protocols/text_lines.h"

inline std::vector<std::string> model_lines(std::string text) {
  size_t text_end = text.find(TEXT_END);
  if (text_end != std::string::npos)
    text.resize(text_end);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t line_end = text.find('\n', start);
    std::string line =
        text.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    if (line_end != std::string::npos && !line.empty() && line.back() == '\r')
      line.pop_back();
    lines.push_back(line);
    if (line_end == std::string::npos)
      break;
    start = line_end + 1;
  }
  return lines;
}

// A first line that puts the reader's chunk boundary `offset` bytes into
// what follows it (offset below TEXT_CHUNK_SIZE).
inline std::string boundary_at(size_t offset) {
  return std::string(TEXT_CHUNK_SIZE - offset - 1, 'f') + "\n";
}

// Every line the reader gives for the file at `path`.
inline std::vector<std::string> reader_lines(const char *path) {
  static text_file file;
  open_text_file(&file, path);
  std::vector<std::string> lines;
  while (read_text_line(&file))
    lines.emplace_back(file.line == nullptr ? "" : std::string(file.line, file.line_length));
  close_text_file(&file);
  return lines;
}
