// What this machine itself takes to pass a byte along a chain of processes after a pause, as a
// knob's step passes from box-sim to knobvane, its libpulse thread, the server's threads and the
// watching client: each process waits in poll(2) on a pipe and writes the byte on to the next,
// the last back to us. 200 rounds, 50 to 150 ms apart as the knob-to-speaker steps are; prints
// the median, p99 and max round trip for chains of 1, 3 and 8 processes, the floor under every
// knob-to-speaker figure. No sound server, no knobvane: the machine's scheduler alone.
//
// Usage: wake-bench. Prints "RESULT wake_<n>_{median,p99,max}_us <value>" lines for bench/run.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "platform/posix/clock.h"

namespace {

constexpr int ROUNDS = 200;

// Waits for a byte on `in` and writes it to `out`, until `in` ends.
[[noreturn]] void PassOn(int in, int out) {
  char byte = 0;
  for (;;) {
    pollfd ready = {in, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 || read(in, &byte, 1) != 1 || write(out, &byte, 1) != 1) _exit(0);
  }
}

// The round trips through a chain of `processes` children, in ns; empty when one could not
// be started.
std::vector<int64_t> RoundTrips(int processes) {
  // pipes[i] leads into process i; the last one back to us.
  std::vector<int> pipes(2 * (processes + 1), -1);
  for (int i = 0; i <= processes; ++i) {
    if (pipe(&pipes[2 * i]) != 0) return {};
  }
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child == 0) PassOn(pipes[2 * i], pipes[2 * (i + 1) + 1]);
    if (child < 0) break;
    children.push_back(child);
  }
  std::vector<int64_t> trips;
  std::mt19937 random(7);  // the same pauses every run
  std::uniform_int_distribution<int64_t> pauseUs(50000, 150000);
  char byte = 'k';
  for (int round = 0; round < ROUNDS && static_cast<int>(children.size()) == processes; ++round) {
    posix::SleepUntilNs(posix::MonotonicNs() + pauseUs(random) * 1000);
    const int64_t sentAt = posix::MonotonicNs();
    if (write(pipes[1], &byte, 1) != 1) break;
    pollfd back = {pipes[2 * processes], POLLIN, 0};
    if (poll(&back, 1, 5000) != 1 || read(pipes[2 * processes], &byte, 1) != 1) break;
    trips.push_back(posix::MonotonicNs() - sentAt);
  }
  for (int fd : pipes) close(fd);
  for (pid_t child : children) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  if (static_cast<int>(trips.size()) != ROUNDS) trips.clear();
  return trips;
}

}  // namespace

int main() {
  for (int processes : {1, 3, 8}) {
    const std::vector<int64_t> trips = RoundTrips(processes);
    const std::string prefix = "wake_" + std::to_string(processes);
    bench::Result(prefix, "median_us", trips.empty() ? -1 : bench::Percentile(trips, 0.5) / 1000);
    bench::Result(prefix, "p99_us", trips.empty() ? -1 : bench::Percentile(trips, 0.99) / 1000);
    bench::Result(prefix, "max_us", trips.empty() ? -1 : bench::Percentile(trips, 1.0) / 1000);
  }
  return 0;
}
