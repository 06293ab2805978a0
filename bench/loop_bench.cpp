// The controller's real loop from a pseudo-terminal into the simulated mixer: readings applied
// per second when the box's lines arrive as fast as the terminal takes them and when they
// arrive at the serial line's own rate, whether any was dropped or reordered, and the time
// from the last byte of a reading written into the terminal to the mixer write it causes.
//
// Prints "RESULT <name> <value>" lines for bench/run, and a summary on stderr.
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "tests/support/controller_thread.h"
#include "tests/support/deadline.h"

namespace {

constexpr size_t FAST_READINGS = 100000;
constexpr size_t PACED_READINGS = 3 * 2304;  // three seconds at the line's rate
constexpr size_t CHUNK = 10000;

// Every volume write, as the simulated mixer makes it: when, and the level it carries.
std::vector<int64_t> appliedAt;
std::vector<DWORD> appliedValue;
std::atomic<size_t> appliedCount{0};

void RecordWrite(const sim::CallRecord& call) {
  if (call.call != sim::Call::SetControlDetails) return;
  const int64_t now = support::NowNs();
  const size_t i = appliedCount.load(std::memory_order_relaxed);
  if (i >= appliedAt.size()) return;
  appliedAt[i] = now;
  appliedValue[i] = bench::LevelOf(call, VolumeOfAdc(bench::AdcOf(i)));
  appliedCount.store(i + 1, std::memory_order_release);
}

void Reset(size_t readings) {
  appliedAt.assign(readings, 0);
  appliedValue.assign(readings, 0);
  sim::ClearCalls();
  appliedCount = 0;
}

// Readings not applied, and applied ones whose value is not the one sent in that place.
struct Check {
  size_t dropped;
  size_t misplaced;
};

Check CheckApplied(size_t readings) {
  const size_t applied = appliedCount;
  Check check{readings - std::min(applied, readings), 0};
  for (size_t i = 0; i < applied && i < readings; ++i) {
    if (appliedValue[i] != VolumeOfAdc(bench::AdcOf(i))) ++check.misplaced;
  }
  return check;
}

// Readings written in chunks as fast as the terminal takes them.
void FastRun(support::ControllerThread& controller) {
  std::vector<std::string> chunks;
  for (size_t start = 0; start < FAST_READINGS; start += CHUNK) {
    std::string chunk;
    for (size_t i = start; i < start + CHUNK && i < FAST_READINGS; ++i) {
      chunk += ReadingLine(0, bench::AdcOf(i));
    }
    chunks.push_back(chunk);
  }
  Reset(FAST_READINGS);
  const int64_t start = support::NowNs();
  std::thread sender([&] {
    for (const std::string& chunk : chunks) {
      controller.box.Send(chunk);
      // The simulated mixer's log would otherwise hold every call of the run.
      sim::ClearCalls();
    }
  });
  const bool all =
      support::Eventually([] { return appliedCount == FAST_READINGS; }, 60, bench::POLL);
  sender.join();
  const double seconds = (appliedAt[appliedCount - 1] - start) / 1e9;
  const Check check = CheckApplied(FAST_READINGS);
  bench::Result("sim_fast_rate", static_cast<double>(appliedCount) / seconds);
  bench::Result("sim_fast_dropped", static_cast<double>(check.dropped));
  bench::Result("sim_fast_misplaced", static_cast<double>(check.misplaced));
  fprintf(stderr, "sim, as fast as possible: %zu readings in %.3f s%s\n", size_t{appliedCount},
          seconds, all ? "" : " (not all applied)");
}

// One reading every 1/2304 s, each written whole; the latency runs from the write's return.
void PacedRun(support::ControllerThread& controller) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < PACED_READINGS; ++i) lines.push_back(ReadingLine(0, bench::AdcOf(i)));
  std::vector<int64_t> writtenAt(PACED_READINGS);
  Reset(PACED_READINGS);
  const double periodNs = 1e9 / bench::LINE_READINGS_PER_SECOND;
  const int64_t start = support::NowNs() + 1000000;
  for (size_t i = 0; i < PACED_READINGS; ++i) {
    posix::SleepUntilNs(start + static_cast<int64_t>(static_cast<double>(i) * periodNs));
    controller.box.Send(lines[i]);
    writtenAt[i] = support::NowNs();
  }
  const bool all =
      support::Eventually([] { return appliedCount == PACED_READINGS; }, 10, bench::POLL);
  const size_t applied = appliedCount;
  std::vector<int64_t> latencies;
  for (size_t i = 0; i < applied; ++i) latencies.push_back(appliedAt[i] - writtenAt[i]);
  const double seconds = (appliedAt[applied - 1] - start) / 1e9;
  const Check check = CheckApplied(PACED_READINGS);
  // The last reading is written (PACED_READINGS - 1) periods after the first.
  bench::Result("sim_line_rate", static_cast<double>(applied - 1) / seconds);
  bench::Result("sim_line_dropped", static_cast<double>(check.dropped));
  bench::Result("sim_line_misplaced", static_cast<double>(check.misplaced));
  bench::Result("sim_latency_median_us", bench::Percentile(latencies, 0.5) / 1000);
  bench::Result("sim_latency_p99_us", bench::Percentile(latencies, 0.99) / 1000);
  bench::Result("sim_latency_max_us", bench::Percentile(latencies, 1.0) / 1000);
  fprintf(stderr, "sim, at the line rate: %zu readings in %.3f s%s\n", applied, seconds,
          all ? "" : " (not all applied)");
}

}  // namespace

int main() {
  // Timed sleeps end when asked, not up to 50 us later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  sim::Install(
      sim::Topology().Device("Card").Destination("Speakers", 2).Volume(65535, 32, {40000, 20000}));
  sim::ObserveCalls(RecordWrite);
  support::ControllerThread controller;
  if (!controller.box.PlugIn()) {
    perror("openpty");
    return 2;
  }
  support::retryPause = bench::POLL;
  controller.Start("1");
  // The first reading shows the port is open and the line is ready.
  Reset(1);
  controller.box.Send(ReadingLine(0, READING_ADC_TOP));
  if (!support::Eventually([] { return appliedCount == 1; }, 10, bench::POLL)) {
    fprintf(stderr, "the controller applied no reading\n");
    return 1;
  }
  FastRun(controller);
  PacedRun(controller);
  controller.Stop();
  sim::ObserveCalls(nullptr);
  return 0;
}
