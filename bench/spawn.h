// Starting the program under measure, for the benchmarks.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

// Starts `args` with standard output discarded, and standard error on
// `error_fd` (-1: discarded too). A program that cannot start ends the
// benchmark.
inline pid_t spawn_quietly(const std::vector<std::string> &args, int error_fd = -1) {
  std::vector<char *> argv;
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (error_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, error_fd, STDERR_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    perror(argv[0]);
    exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}
