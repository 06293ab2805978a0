// The benchmarks' eye on the private sound server: a client of its own, subscribed to the
// null output's change events. Every event is answered at once with a query of the output's
// volume, and the answer's arrival is when that volume became visible. libpulse calls back on
// its main loop's thread; the counts are atomics the benchmark polls meanwhile.
#ifndef KNOBVANE_BENCH_PULSE_OBSERVER_H
#define KNOBVANE_BENCH_PULSE_OBSERVER_H

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/deadline.h"

namespace bench {

// Polls every 200 us: the observer's thread must get the processor when it is woken.
template <typename Condition>
bool Eventually(Condition condition, double deadlineSeconds) {
  return support::Eventually(condition, deadlineSeconds, std::chrono::microseconds(200));
}

// One change event of the output and the volume its answer carried (PulseAudio units).
struct Observation {
  int64_t eventAt;     // support::NowNs()
  int64_t answeredAt;  // support::NowNs()
  uint32_t left;
  uint32_t right;
};

class PulseObserver {
 public:
  // Keeps the first maxEvents events; later ones are not counted.
  explicit PulseObserver(size_t maxEvents) : slots_(maxEvents) {}
  ~PulseObserver();
  PulseObserver(const PulseObserver&) = delete;
  PulseObserver& operator=(const PulseObserver&) = delete;

  // Connects to the server this process points at, subscribes, and finds the output "knobs";
  // false when that did not happen within deadlineSeconds.
  bool Start(double deadlineSeconds);

  // Makes `volume` (either channel) the one whose answer AwaitedSeen reports from now on.
  void Await(uint32_t volume) {
    awaitedSeen_ = false;
    awaited_ = volume;
  }
  bool AwaitedSeen() const { return awaitedSeen_; }
  // Waits, at most deadlineSeconds, for the awaited volume; false when it did not show.
  bool AwaitSeen(double deadlineSeconds) {
    return Eventually([this] { return AwaitedSeen(); }, deadlineSeconds);
  }
  // Waits, at most deadlineSeconds, until every event so far has its answer.
  bool AllAnswered(double deadlineSeconds) {
    return Eventually([this] { return answers_ == events_; }, deadlineSeconds);
  }

  size_t Events() const { return events_; }
  size_t Answers() const { return answers_; }
  // Event i (< Events()); its volume is there once it is answered.
  const Observation& Seen(size_t i) const { return slots_[i].seen; }

 private:
  static void OnState(pa_context*, void* self);
  static void OnSink(pa_context*, const pa_sink_info* info, int eol, void* self);
  static void OnSubscribed(pa_context*, int, void* self);
  static void OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                      void* self);
  static void OnVolume(pa_context*, const pa_sink_info* info, int eol, void* slot);

  // An event's place, which its volume query carries to the answer.
  struct Slot {
    PulseObserver* observer;
    Observation seen;
  };
  bool TryToConnect();
  bool Wait(pa_operation* operation);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  uint32_t sink_ = PA_INVALID_INDEX;
  std::vector<Slot> slots_;
  std::atomic<size_t> events_{0};
  std::atomic<size_t> answers_{0};
  std::atomic<uint32_t> awaited_{PA_VOLUME_INVALID};
  std::atomic<bool> awaitedSeen_{false};
};

}  // namespace bench

#endif  // KNOBVANE_BENCH_PULSE_OBSERVER_H
