// The program's policies for the process, set before anything else:
// standard streams that are there, a reader of standard output that goes
// away ending no load, and a stopping signal (or console event) that erases
// what is drawn and ends the run as stopped, never as a success. One source
// file a platform provides it: process_posix.cpp, process_windows.cpp.
#pragma once

void prepare_process();
