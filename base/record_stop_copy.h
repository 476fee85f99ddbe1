// The report a stop writes, kept ready: its head is made anew as the run
// learns, outside any handler, in a buffer with room for the tail, so that
// a stop (a signal handler, plain system calls only) adds the counts and
// how the run was stopped, and writes the whole report in one write: a
// FIFO that parallel runs share never mixes two reports.
#pragma once

#include <string>

#include "../platform/record_files.h"
#include "record_report.h"

// From a thread of the run, under the record's lock.
void keep_stop_copy_ready(const std::string &head);
// From a stop: the report whole, in one write through `place`. False where
// no copy was ready or the write failed.
bool write_stop_copy(record_place *place, const report_counts &counts, const char *phase,
                     const char *stopped_by);
