// What the benchmarks and the soak share: the knob sweep they send, the levels the controller
// makes of it, and how figures are summed up and printed (a process's figures from /proc are
// in bench/process.h). The controller runs in-process as its tests run it
// (tests/support/controller_thread.h).
#ifndef KNOBVANE_BENCH_BENCH_H
#define KNOBVANE_BENCH_BENCH_H

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim_mixer.h"
#include "tools/reading_text.h"

namespace bench {

// The benchmarks poll, and the controller they run retries a missing port, every 50 us.
constexpr std::chrono::microseconds POLL{50};

// The ADC value of reading i of a knob sweeping its whole audible range (32 and up), never
// the same value twice in a row.
inline int AdcOf(int64_t i) {
  constexpr int64_t AUDIBLE = READING_ADC_TOP + 1 - 32;
  return 32 + static_cast<int>((i * 7) % AUDIBLE);
}

// Readings a second the box's serial line carries: 8N1 is 10 bits a byte, and every line of
// a sweep but the quietest few is as long as the longest.
constexpr double LINE_READINGS_PER_SECOND = READING_BAUD / 10.0 / READING_LINE_BYTES;

// The level a volume write carries: expected when one of its channels has exactly that value
// (the loudest one gets it exactly; another channel tied with it may end one above it), or
// else the highest channel value.
inline DWORD LevelOf(const sim::CallRecord& write, DWORD expected) {
  DWORD highest = 0;
  for (DWORD value : write.values) {
    if (value == expected) return expected;
    highest = value > highest ? value : highest;
  }
  return highest;
}

// The value at that fraction (0..1] of the sorted values, nearest rank; -1 when there are none.
inline double Percentile(std::vector<int64_t> values, double fraction) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), values.size());
  return static_cast<double>(values[rank - 1]);
}

// Prints a figure for bench/run.
inline void Result(const char* name, double value) { printf("RESULT %s %.6g\n", name, value); }

// Prints a figure for bench/run named prefix_name.
inline void Result(const std::string& prefix, const char* name, double value) {
  Result((prefix + "_" + name).c_str(), value);
}

}  // namespace bench

#endif  // KNOBVANE_BENCH_BENCH_H
