// Processes for the benchmarks and the soak: their figures as /proc gives them (memory by name
// from its status files, the CPU time used), and the programs a benchmark starts, stopped by
// PID however it ends.
#ifndef KNOBVANE_BENCH_PROCESS_H
#define KNOBVANE_BENCH_PROCESS_H

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/process.h"

namespace bench {

// A program this benchmark started (support::Spawn), stopped when it goes out of scope.
class Started {
 public:
  explicit Started(pid_t pid) : pid_(pid) {}
  ~Started() { support::StopProcess(pid_); }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  // Its PID; 0 or less when it did not start.
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_;
};

// A "Name:   123 kB" figure of /proc/<pid>/<file> (pid 0: this process), -1 when there is none.
inline long ProcKb(pid_t pid, const char* file, const char* name) {
  const std::string path =
      "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + file;
  FILE* in = fopen(path.c_str(), "r");
  if (in == nullptr) return -1;
  char line[256];
  long kb = -1;
  const size_t length = strlen(name);
  while (fgets(line, sizeof line, in) != nullptr) {
    if (strncmp(line, name, length) == 0) kb = strtol(line + length, nullptr, 10);
  }
  fclose(in);
  return kb;
}

// User plus system CPU time of a process, in seconds, from /proc/<pid>/stat; -1 when there is
// no such process.
inline double CpuSeconds(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return -1;
  char text[1024];
  const size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[n] = 0;
  // The fields after the command name, which is in parentheses and may hold spaces.
  const char* rest = strrchr(text, ')');
  if (rest == nullptr) return -1;
  unsigned long utime = 0, stime = 0;
  if (sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
      2) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// How often the threads of a process have been switched out (voluntary_ctxt_switches plus
// nonvoluntary_ctxt_switches of every task): on an idle processor about how often it woke;
// -1 when there is no such process.
inline long ContextSwitches(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = opendir(tasks.c_str());
  if (folder == nullptr) return -1;
  long switches = 0;
  while (const dirent* task = readdir(folder)) {
    if (task->d_name[0] == '.') continue;
    const std::string status = "task/" + std::string(task->d_name) + "/status";
    switches += std::max(0L, ProcKb(pid, status.c_str(), "voluntary_ctxt_switches:")) +
                std::max(0L, ProcKb(pid, status.c_str(), "nonvoluntary_ctxt_switches:"));
  }
  closedir(folder);
  return switches;
}

}  // namespace bench

#endif  // KNOBVANE_BENCH_PROCESS_H
