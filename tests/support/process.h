// Programs the tests and benchmarks start (servers, players, knobvane, box-sim): started with
// posix_spawn, searched on PATH, and stopped by their PID, never by name.
#ifndef KNOBVANE_TESTS_SUPPORT_PROCESS_H
#define KNOBVANE_TESTS_SUPPORT_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/deadline.h"

extern char** environ;

namespace support {

// Starts a program on these descriptors as its standard input, output and error (their
// other copies close-on-exec); -1 when it cannot start.
inline pid_t Spawn(const std::vector<std::string>& arguments, int input, int output,
                   int error = STDERR_FILENO) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, 0);
  posix_spawn_file_actions_adddup2(&actions, output, 1);
  posix_spawn_file_actions_adddup2(&actions, error, 2);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The same reading the file `input`, with its output and errors appended to `log`.
inline pid_t Spawn(const std::vector<std::string>& arguments, const std::string& log,
                   const char* input = "/dev/null") {
  const int in = open(input, O_RDONLY | O_CLOEXEC);
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t pid = in < 0 || out < 0 ? -1 : Spawn(arguments, in, out, out);
  close(in);
  close(out);
  return pid;
}

// Waits up to `seconds` for a process we started (and asked to end) to end, then kills it.
inline void AwaitOrKill(pid_t pid, double seconds) {
  if (pid > 0 && !Eventually([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, seconds,
                             std::chrono::milliseconds(10))) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Ends a process we started: SIGTERM first, SIGKILL after 10 s.
inline void StopProcess(pid_t pid) {
  if (pid > 0 && kill(pid, SIGTERM) == 0) AwaitOrKill(pid, 10);
}

}  // namespace support

#endif  // KNOBVANE_TESTS_SUPPORT_PROCESS_H
