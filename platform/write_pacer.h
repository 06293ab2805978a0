// How often one control's volume goes to the sound server while a knob keeps turning it. A
// turning knob sends a reading every few milliseconds, and each write costs the server (and
// us) far more than the reading did, while audio is heard a period of several milliseconds at
// a time: writes closer together than that are never heard one by one. So a control is written
// at most once per interval while its value keeps changing, and the newest value always follows
// the last write. After a pause (an interval without a change) the first few changes go out at
// once: a knob that is moved and let go sends two or three lines a tick apart as its average
// settles, and the last of them should be heard as soon as the first.
//
// One pacer per control, beside the control's newest value, which stays its owner's: a new
// value replaces the one waiting, so values go out in the order they came, skipping some, and
// the last one always goes. At most one write is on its way: the next waits for its answer.
// Time is passed in (nanoseconds on one monotonic clock); no threads, no clock of its own.
#pragma once

#include <cstdint>

// The interval between two writes of a control while it keeps changing, in nanoseconds:
// WRITE_INTERVAL_NS, or what KNOBVANE_WRITE_INTERVAL_US says (0 to 1000000 microseconds; 0
// writes every value), which the benchmarks use to weigh one interval against another.
int64_t WriteIntervalNs();

// The interval a setting's text names (a number of microseconds, 0 to 1000000), in nanoseconds;
// WRITE_INTERVAL_NS for no text or any other: a mistyped setting must neither stop the knobs nor
// flood the server.
int64_t WriteIntervalNsFrom(const char* text);

class WritePacer {
 public:
  // One write per two audio periods of PipeWire's default quantum (1,024 frames, 21 ms at
  // 48 kHz): a turning knob's volume moves 25 times a second and trails it by at most 40 ms,
  // well within the tenth of a second in which an answer feels immediate. 20 ms costs the
  // server twice as much; 60 ms saves little more, as what is left is mostly reading the port
  // (bench/README.md weighs them).
  static constexpr int64_t WRITE_INTERVAL_NS = 40000000;
  // How many writes may go at once after a pause: one more comes back each interval.
  static constexpr int WRITE_BURST = 3;
  // What DueAt says when only an answer, or a new value, can let a write go.
  static constexpr int64_t NEVER = INT64_MAX;

  explicit WritePacer(int64_t intervalNs = WriteIntervalNs(), int burst = WRITE_BURST)
      : intervalNs_(intervalNs), burst_(burst < 1 ? 1 : burst) {}

  // The control has a new value to write; it replaces one still waiting. A change after the
  // control rested for a whole interval finds the burst back: a knob moved again after a pause
  // is heard at once, however busy it was before.
  void Changed(int64_t nowNs) {
    if (lastChangeNs_ <= nowNs - intervalNs_ && paidUntilNs_ > nowNs) paidUntilNs_ = nowNs;
    lastChangeNs_ = nowNs;
    waiting_ = true;
  }

  // Whether the waiting value goes out now: true means the caller sends its newest value, which
  // is on its way from then until Answered.
  bool TakeTurn(int64_t nowNs);

  // The write on its way was answered, failed, or was given up: the next may go.
  void Answered() { onItsWay_ = false; }

  // When TakeTurn will next say yes (it may be past already): NEVER while nothing waits or a
  // write is on its way. The caller's timer.
  int64_t DueAt() const;

  bool Waiting() const { return waiting_; }
  bool OnItsWay() const { return onItsWay_; }

 private:
  int64_t intervalNs_;
  int burst_;
  // When the writes so far would all have gone at one per interval: a write may go burst - 1
  // intervals before that.
  int64_t paidUntilNs_ = 0;
  int64_t lastChangeNs_ = 0;
  bool sentBefore_ = false;
  bool waiting_ = false;
  bool onItsWay_ = false;
};
