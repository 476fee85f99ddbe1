// The single-argument forms: --help, --version, --list.
#pragma once

// The forms for a person, each only as the only argument: --help (-h),
// --version (-V) and --list. They end the process with status 0; any other
// argument returns, and the run goes on to the usage message.
void answer_single_argument(const char *argument);
