// The one clock of the Linux programs, tools and tests: CLOCK_MONOTONIC in nanoseconds, which
// no change of the date moves, and a sleep until a time on it.
#ifndef KNOBVANE_PLATFORM_POSIX_CLOCK_H
#define KNOBVANE_PLATFORM_POSIX_CLOCK_H

#include <errno.h>
#include <time.h>

#include <cstdint>

namespace posix {

// Nanoseconds on the monotonic clock.
inline int64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Sleeps until the monotonic clock reaches atNs (at once when it has); a signal does not end it.
inline void SleepUntilNs(int64_t atNs) {
  timespec at;
  at.tv_sec = static_cast<time_t>(atNs / 1000000000);
  at.tv_nsec = static_cast<long>(atNs % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

}  // namespace posix

#endif  // KNOBVANE_PLATFORM_POSIX_CLOCK_H
