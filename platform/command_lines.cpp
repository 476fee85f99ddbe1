// Windows' rules for quoting an argument: backslashes are plain unless a
// double quote follows them, where each is doubled and the quote escaped.
#include "command_lines.h"

static std::string quoted(const std::string &argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string text = "\"";
  for (size_t at = 0;; at++) {
    size_t backslashes = 0;
    for (; at < argument.size() && argument[at] == '\\'; at++)
      backslashes++;
    if (at == argument.size()) {
      text.append(backslashes * 2, '\\');
      break;
    }
    if (argument[at] == '"')
      text.append(backslashes * 2 + 1, '\\');
    else
      text.append(backslashes, '\\');
    text += argument[at];
  }
  return text + "\"";
}

std::string windows_command_line(const std::vector<std::string> &args) {
  std::string line;
  for (const std::string &argument : args)
    line += (line.empty() ? "" : " ") + quoted(argument);
  return line;
}
