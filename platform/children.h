// Runs of this same program as child processes, for a station that loads
// each board in a run of its own: each child is in a process group of its
// own, so that a Ctrl-C at the terminal reaches the station alone, with its
// standard output and standard error on pipes and no standard input. One
// source file a platform provides it: children_posix.cpp,
// children_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct child_process {
  intptr_t process; // the pid, or the process's handle
  unsigned long id; // the pid, or the process id
  intptr_t output;  // the read ends of its standard output and error
  intptr_t errors;
};

// Starts this program with `args`, the variables named in `unset` left out
// of its environment. False where it could not be started.
bool start_child(const std::vector<std::string> &args, const std::vector<std::string> &unset,
                 child_process *child);

// Reads what the child wrote on one of its pipes, waiting for it; 0 once
// the child has ended and nothing is left, and the pipe is closed then.
long read_from_child(intptr_t pipe, char *buffer, size_t size);

// Asks the child to stop as a stopped single run does: by SIGINT where
// `interrupt`, else SIGTERM, on Linux and macOS; by Ctrl-Break on Windows.
void stop_child(const child_process &child, bool interrupt);

// Waits for the child to end and gives its exit status, or 128 and the
// signal that ended it.
int wait_for_child(const child_process &child);

// Gives the stop signals and console events to `asked` on a thread of
// their own from now on, rather than end the process: `interrupt` for
// Ctrl-C (SIGINT), else a stop that is meant at once (SIGTERM, SIGHUP,
// SIGQUIT, Ctrl-Break, the console closing). Call it before any other
// thread starts.
void take_stops_on_a_thread(void (*asked)(const char *by, bool interrupt));

// Whether this program may open the port now, as far as can be told
// without opening it: on Linux and macOS its node's permissions, which
// udev sets a moment after the node appears; on Windows, no device
// installation under way.
bool port_may_be_opened(const char *name);

// Appends `line` to the file at `path` in one write, so that a crash never
// leaves half a line and writers side by side never mix theirs. Gives
// null, or why it could not.
const char *append_line(const char *path, const std::string &line);

// Makes the folder where it is not there yet; false where it cannot be made
// or a file has its name.
bool make_folder(const char *path);

// Makes a folder of the program's own for temporary files, and removes it
// with what it holds.
std::string make_temporary_folder();
void remove_temporary_folder(const std::string &folder);
