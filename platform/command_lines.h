// A Windows command line made of arguments, so that the child's C runtime
// (and CommandLineToArgvW) reads each back exactly as it was given. Plain
// text work, built on every platform so that the unit tests hold it.
#pragma once

#include <string>
#include <vector>

std::string windows_command_line(const std::vector<std::string> &args);
