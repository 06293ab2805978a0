// Time for the tests and the benchmarks: one monotonic clock in nanoseconds, and a wait that
// polls a condition until it holds or its deadline passes (a test never sleeps and hopes).
#ifndef KNOBVANE_TESTS_SUPPORT_DEADLINE_H
#define KNOBVANE_TESTS_SUPPORT_DEADLINE_H

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/posix/clock.h"

namespace support {

// The monotonic clock, in nanoseconds.
inline int64_t NowNs() { return posix::MonotonicNs(); }

// Polls condition every `poll` until it holds; false when it did not within deadlineSeconds.
template <typename Condition>
bool Eventually(Condition condition, double deadlineSeconds = 20,
                std::chrono::nanoseconds poll = std::chrono::milliseconds(1)) {
  const int64_t deadline = NowNs() + static_cast<int64_t>(deadlineSeconds * 1e9);
  while (!condition()) {
    if (NowNs() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace support

#endif  // KNOBVANE_TESTS_SUPPORT_DEADLINE_H
