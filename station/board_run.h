// A board's run: this same program as a child, with the board's port and
// the station's options. What it prints, its progress and its ending come
// to the station's loop as events for its number.
#pragma once

#include <string>
#include <vector>

#include "../platform/children.h"

// False where the run could not be started.
bool start_board_run(int run, const std::vector<std::string> &args, child_process *child);
