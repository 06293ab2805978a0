// The pacing of one control's writes; see write_pacer.h for the rule and why.
#include "platform/write_pacer.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr long LONGEST_INTERVAL_US = 1000000;

}  // namespace

int64_t WriteIntervalNsFrom(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return WritePacer::WRITE_INTERVAL_NS;
  char* end = nullptr;
  errno = 0;
  const long us = strtol(text, &end, 10);
  if (*end != 0 || errno != 0 || us > LONGEST_INTERVAL_US) return WritePacer::WRITE_INTERVAL_NS;
  return int64_t{us} * 1000;
}

int64_t WriteIntervalNs() {
  static const int64_t interval = WriteIntervalNsFrom(getenv("KNOBVANE_WRITE_INTERVAL_US"));
  return interval;
}

bool WritePacer::TakeTurn(int64_t nowNs) {
  if (nowNs < DueAt()) return false;
  waiting_ = false;
  onItsWay_ = true;
  paidUntilNs_ = (sentBefore_ && paidUntilNs_ > nowNs ? paidUntilNs_ : nowNs) + intervalNs_;
  sentBefore_ = true;
  return true;
}

int64_t WritePacer::DueAt() const {
  if (!waiting_ || onItsWay_) return NEVER;
  // A first write, or one after a pause, goes at once.
  if (!sentBefore_) return INT64_MIN;
  return paidUntilNs_ - (burst_ - 1) * intervalNs_;
}
