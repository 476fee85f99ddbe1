// Windows: a device's name as the system resolves it, shared by the
// platform's own files.
#pragma once

#include <cstddef>

// The prefixes \\.\ and \\?\, a trailing colon, trailing blanks and case
// make no difference: "\\?\com9 " is "COM9". Empty for a name that is no
// device (a file).
void device_name(const char *name, char *device, size_t size);
