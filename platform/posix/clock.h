// The one clock of the Linux programs, tools and tests: CLOCK_MONOTONIC in nanoseconds, which
// no change of the date moves; a sleep until a time on it, and a wait for input until a time
// on it, the one loop that turns a deadline into the system's timeouts.
#ifndef KNOBVANE_PLATFORM_POSIX_CLOCK_H
#define KNOBVANE_PLATFORM_POSIX_CLOCK_H

#include <errno.h>
#include <poll.h>
#include <time.h>

#include <chrono>
#include <cstdint>

namespace posix {

// Nanoseconds on the monotonic clock.
inline int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// The same clock for the standard library's timed waits (a condition variable's wait_until)
// and for the deadlines handed from one part to another: on Linux, steady_clock reads
// CLOCK_MONOTONIC, so its time points and MonotonicNs() count alike.
using Clock = std::chrono::steady_clock;

// A deadline that never comes.
constexpr int64_t NO_DEADLINE_NS = INT64_MAX;

// The deadline `milliseconds` after startNs; NO_DEADLINE_NS where that is past the clock's range.
inline int64_t DeadlineAfterMs(int64_t startNs, uint64_t milliseconds) {
  const uint64_t left = static_cast<uint64_t>(NO_DEADLINE_NS - startNs) / 1000000;
  return milliseconds >= left ? NO_DEADLINE_NS
                              : startNs + static_cast<int64_t>(milliseconds) * 1000000;
}

// A time on the clock, or a span of it, as the system's calls take it.
inline timespec TimespecOfNs(int64_t ns) {
  timespec time;
  time.tv_sec = static_cast<time_t>(ns / 1000000000);
  time.tv_nsec = static_cast<long>(ns % 1000000000);
  return time;
}

// Sleeps until the monotonic clock reaches atNs (at once when it has); a signal does not end it.
inline void SleepUntilNs(int64_t atNs) {
  const timespec at = TimespecOfNs(atNs);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

// Waits until fd has input, or its other end is gone (a read tells which): 1; or until the
// monotonic clock reaches deadlineNs (NO_DEADLINE_NS: never): 0, never before it. A signal
// resumes the wait unless stopOnSignal is given and returns true; then -1 with EINTR, as when
// fd cannot be polled (errno says why).
inline int WaitForInputUntil(int fd, int64_t deadlineNs, bool (*stopOnSignal)() = nullptr) {
  for (;;) {
    timespec left = {};
    const timespec* timeout = nullptr;
    if (deadlineNs != NO_DEADLINE_NS) {
      const int64_t leftNs = deadlineNs - MonotonicNs();
      if (leftNs > 0) left = TimespecOfNs(leftNs);
      timeout = &left;
    }
    pollfd input = {fd, POLLIN, 0};
    const int ready = ppoll(&input, 1, timeout, nullptr);
    if (ready > 0) return 1;
    if (ready == 0 && MonotonicNs() >= deadlineNs) return 0;
    if (ready < 0 && (errno != EINTR || (stopOnSignal != nullptr && stopOnSignal()))) return -1;
  }
}

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_CLOCK_H
