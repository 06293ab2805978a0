// A run of readings into the real knobvane and the volumes the observer saw of it: the sweep
// a run sends, the output's volume each reading must give, and the matching of the volumes
// seen to the readings that tells when each became visible and which were out of place.
#ifndef KNOBVANE_BENCH_READING_RUN_H
#define KNOBVANE_BENCH_READING_RUN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/pulse_observer.h"
#include "controller/knobvane.h"
#include "firmware/knobbox/reading_format.h"
#include "platform/pulse/pulse.h"
#include "tools/reading_text.h"

namespace bench {

// The output's volume for that ADC value, in PulseAudio's units.
inline uint32_t PulseVolumeOf(int adc) { return pulse::ToPulse(VolumeOfAdc(adc)); }

class ReadingRun {
 public:
  // The ADC value of reading i of a run of that many: a sweep over the audible range, and a
  // level of its own at the end, so the run has ended when that level is seen.
  static int AdcOf(size_t i, size_t readings) {
    constexpr int LAST_ADC = 20;
    return i + 1 == readings ? LAST_ADC : bench::AdcOf(static_cast<int64_t>(i));
  }

  ReadingRun(PulseObserver& observer, size_t count)
      : readings(count), volumes(count), visibleAt(count, -1), observer_(observer) {
    for (size_t i = 0; i < count; ++i) {
      text.push_back(ReadingLine(0, AdcOf(i, count)));
      volumes[i] = PulseVolumeOf(AdcOf(i, count));
    }
  }

  // Marks the start (support::NowNs()) and makes the observer wait for the run's last volume.
  void Begin(int64_t at) {
    startedAt = at;
    firstEvent_ = observer_.Events();
    observer_.Await(volumes.back());
  }

  // Waits for the last volume to be seen and every event to be answered; false when the last
  // volume did not show within the deadline.
  bool End(double deadlineSeconds) {
    const bool seen = observer_.AwaitSeen(deadlineSeconds);
    observer_.AllAnswered(5);
    events = observer_.Events() - firstEvent_;
    return seen;
  }

  // Matches the volumes seen to the readings, giving each reading the time it became visible;
  // the number of volumes out of place. A volume may be seen at most lagLimit readings after
  // the one seen before.
  size_t Match(size_t lagLimit) {
    size_t outOfPlace = 0;
    size_t next = 0;  // the first reading not yet seen
    for (size_t e = firstEvent_; e < firstEvent_ + events; ++e) {
      const Observation& seen = observer_.Seen(e);
      size_t k = next == 0 ? 0 : next - 1;  // the same volume may be seen again
      while (k < readings && k <= next + lagLimit && seen.left != volumes[k] &&
             seen.right != volumes[k]) {
        ++k;
      }
      if (k >= readings || k > next + lagLimit) {
        ++outOfPlace;
        continue;
      }
      for (; next <= k; ++next) visibleAt[next] = seen.answeredAt;
    }
    return outOfPlace + (next == readings ? 0 : 1);
  }

  size_t readings;
  std::vector<std::string> text;   // each reading's line
  std::vector<uint32_t> volumes;   // each reading's volume
  std::vector<int64_t> visibleAt;  // when each became visible, after Match; -1: never
  std::vector<int64_t> writtenAt;  // paced runs only: when each was written
  int64_t startedAt = 0;
  size_t events = 0;  // the observer's events during the run, after End

 private:
  PulseObserver& observer_;
  size_t firstEvent_ = 0;
};

}  // namespace bench

#endif  // KNOBVANE_BENCH_READING_RUN_H
