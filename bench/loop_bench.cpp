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

#include "bench/controller_rig.h"

namespace {

// 115200 bit/s, 8N1: 10 bits a byte, 5 bytes in "1023\n".
constexpr double LINE_READINGS_PER_SECOND = 115200.0 / 10 / 5;
constexpr size_t FAST_READINGS = 100000;
constexpr size_t PACED_READINGS = 3 * 2304;  // three seconds at the line's rate
constexpr size_t CHUNK = 10000;

// The ADC value of reading i: a knob sweeping its whole audible range, never the same value
// twice in a row.
int AdcOf(size_t i) { return 32 + static_cast<int>((i * 7) % 992); }

// Every volume write, as the simulated mixer makes it: when, and the level it carries.
std::vector<int64_t> appliedAt;
std::vector<DWORD> appliedValue;
std::atomic<size_t> appliedCount{0};

void RecordWrite(const sim::CallRecord& call) {
  if (call.call != sim::Call::SetControlDetails) return;
  const int64_t now = rig::NowNs();
  const size_t i = appliedCount.load(std::memory_order_relaxed);
  if (i >= appliedAt.size()) return;
  appliedAt[i] = now;
  appliedValue[i] = rig::LevelOf(call, rig::VolumeOf(AdcOf(i)));
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
    if (appliedValue[i] != rig::VolumeOf(AdcOf(i))) ++check.misplaced;
  }
  return check;
}

double Percentile(std::vector<int64_t> values, double fraction) {
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), values.size());
  return static_cast<double>(values[rank - 1]);
}

void Result(const char* name, double value) { printf("RESULT %s %.6g\n", name, value); }

// Readings written in chunks as fast as the terminal takes them.
void FastRun(rig::Controller& controller) {
  std::vector<std::string> chunks;
  for (size_t start = 0; start < FAST_READINGS; start += CHUNK) {
    std::string chunk;
    for (size_t i = start; i < start + CHUNK && i < FAST_READINGS; ++i) {
      chunk += rig::ReadingText(0, AdcOf(i));
    }
    chunks.push_back(chunk);
  }
  Reset(FAST_READINGS);
  const int64_t start = rig::NowNs();
  std::thread sender([&] {
    for (const std::string& chunk : chunks) {
      controller.box->Send(chunk);
      // The simulated mixer's log would otherwise hold every call of the run.
      sim::ClearCalls();
    }
  });
  const bool all = rig::Eventually([] { return appliedCount == FAST_READINGS; }, 60);
  sender.join();
  const double seconds = (appliedAt[appliedCount - 1] - start) / 1e9;
  const Check check = CheckApplied(FAST_READINGS);
  Result("sim_fast_rate", static_cast<double>(appliedCount) / seconds);
  Result("sim_fast_dropped", static_cast<double>(check.dropped));
  Result("sim_fast_misplaced", static_cast<double>(check.misplaced));
  fprintf(stderr, "sim, as fast as possible: %zu readings in %.3f s%s\n", size_t{appliedCount},
          seconds, all ? "" : " (not all applied)");
}

// One reading every 1/2304 s, each written whole; the latency runs from the write's return.
void PacedRun(rig::Controller& controller) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < PACED_READINGS; ++i) lines.push_back(rig::ReadingText(0, AdcOf(i)));
  std::vector<int64_t> writtenAt(PACED_READINGS);
  Reset(PACED_READINGS);
  const double periodNs = 1e9 / LINE_READINGS_PER_SECOND;
  const int64_t start = rig::NowNs() + 1000000;
  for (size_t i = 0; i < PACED_READINGS; ++i) {
    rig::SleepUntil(start + static_cast<int64_t>(static_cast<double>(i) * periodNs));
    controller.box->Send(lines[i]);
    writtenAt[i] = rig::NowNs();
  }
  const bool all = rig::Eventually([] { return appliedCount == PACED_READINGS; }, 10);
  const size_t applied = appliedCount;
  std::vector<int64_t> latencies;
  for (size_t i = 0; i < applied; ++i) latencies.push_back(appliedAt[i] - writtenAt[i]);
  const double seconds = (appliedAt[applied - 1] - start) / 1e9;
  const Check check = CheckApplied(PACED_READINGS);
  // The last reading is written (PACED_READINGS - 1) periods after the first.
  Result("sim_line_rate", static_cast<double>(applied - 1) / seconds);
  Result("sim_line_dropped", static_cast<double>(check.dropped));
  Result("sim_line_misplaced", static_cast<double>(check.misplaced));
  Result("sim_latency_median_us", Percentile(latencies, 0.5) / 1000);
  Result("sim_latency_p99_us", Percentile(latencies, 0.99) / 1000);
  Result("sim_latency_max_us", Percentile(latencies, 1.0) / 1000);
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
  rig::Controller controller("1");
  if (!controller.box->PlugIn()) {
    perror("openpty");
    return 2;
  }
  controller.Start();
  // The first reading shows the port is open and the line is ready.
  Reset(1);
  controller.box->Send(rig::ReadingText(0, 1023));
  if (!rig::Eventually([] { return appliedCount == 1; })) {
    fprintf(stderr, "the controller applied no reading\n");
    return 1;
  }
  FastRun(controller);
  PacedRun(controller);
  controller.Stop();
  sim::ObserveCalls(nullptr);
  return 0;
}
