// macOS: the call-out devices, /dev/cu.*, which open without waiting for
// carrier.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "port_list.h"

int list_serial_ports() {
  std::vector<std::string> names;
  if (DIR *directory = opendir("/dev")) {
    while (dirent *entry = readdir(directory))
      if (strncmp(entry->d_name, "cu.", 3) == 0)
        names.push_back(std::string("/dev/") + entry->d_name);
    closedir(directory);
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names)
    printf("%s\n", name.c_str());
  return (int)names.size();
}

// macOS tells nothing more of a port here than its name.
void note_adapter(const char *) {}
