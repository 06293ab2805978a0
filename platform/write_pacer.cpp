// The pacing of one control's writes; see write_pacer.h for the rule and why.
#include "platform/write_pacer.h"

#include <cstdlib>

namespace {

constexpr long LONGEST_INTERVAL_US = 1000000;

// The interval KNOBVANE_WRITE_INTERVAL_US gives, or -1 when it is unset or not a number of
// microseconds in range: a mistyped setting must not stop the knobs or flood the server.
int64_t IntervalFromEnvironment() {
  const char* text = getenv("KNOBVANE_WRITE_INTERVAL_US");
  if (text == nullptr || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  const long us = strtol(text, &end, 10);
  if (*end != 0 || us < 0 || us > LONGEST_INTERVAL_US) return -1;
  return int64_t{us} * 1000;
}

}  // namespace

int64_t WriteIntervalNs() {
  static const int64_t fromEnvironment = IntervalFromEnvironment();
  return fromEnvironment >= 0 ? fromEnvironment : WritePacer::WRITE_INTERVAL_NS;
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
