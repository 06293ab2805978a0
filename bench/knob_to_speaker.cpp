// The box's steps and their timing; the firmware's rules set the step sizes (knob_box.h).
#include "bench/knob_to_speaker.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "bench/bench.h"
#include "bench/box_commands.h"
#include "bench/process.h"
#include "bench/reading_run.h"
#include "platform/posix/clock.h"
#include "tests/support/deadline.h"

namespace bench {

namespace {

constexpr int SPEAKER_STEPS = 200;
// From a step the firmware follows at once (16 counts; smaller ones it smooths over a few
// ticks, as it does a resting knob's noise) to half the knob's travel.
constexpr int SMALLEST_STEP = 16;
constexpr int LARGEST_STEP = 511;
// The knob stays clear of the ends, where the firmware snaps readings to 0 and 1023.
constexpr int LOWEST_ADC = 16;
constexpr int HIGHEST_ADC = 1007;

// When an answer since event `first` first showed the output within ARRIVED_COUNTS of `adc`,
// or -1.
int64_t ArrivedAt(const PulseObserver& observer, size_t first, int adc) {
  const uint32_t lowest = PulseVolumeOf(adc - ARRIVED_COUNTS);
  const uint32_t highest = PulseVolumeOf(adc + ARRIVED_COUNTS);
  for (size_t e = first; e < observer.Answers(); ++e) {
    const Observation& seen = observer.Seen(e);
    if (seen.left >= lowest && seen.left <= highest) return seen.answeredAt;
  }
  return -1;
}

}  // namespace

const char* KnobToSpeaker(PulseObserver& observer, const SpeakerSetup& setup) {
  const std::string commandsPath = setup.folder + "/box-commands";
  const std::string link = setup.folder + "/box";
  BoxCommands commands(commandsPath);
  if (!commands.Ready()) return "no FIFO for box-sim's commands";
  int adc = 500;
  if (!commands.Send("knob 0 " + std::to_string(adc))) return "box-sim took no command";
  Started boxSim(
      StartBoxSim(setup.boxSim, setup.firmware, commands, link, setup.folder + "/box-sim.log"));
  if (boxSim.Pid() <= 0) return "box-sim did not come up";
  // Opening the port restarts the simulated board, whose report brings the knob once
  // knobvane's 2 s pause after opening is over.
  observer.Await(PulseVolumeOf(adc));
  Started knobvane(support::Spawn({setup.knobvane, link, "1"}, setup.folder + "/knobvane.log"));
  if (!observer.AwaitSeen(20)) return "knobvane applied no reading of the box's";

  std::mt19937 random(19);  // the same steps and pauses every run
  std::uniform_int_distribution<int> size(SMALLEST_STEP, LARGEST_STEP);
  // 50 to 150 ms between steps: they fall at every phase of the firmware's tick.
  std::uniform_int_distribution<int> pauseUs(50000, 150000);
  std::vector<int64_t> latencies;
  int missed = 0;
  for (int step = 0; step < SPEAKER_STEPS; ++step) {
    const int by = size(random);
    const bool up = random() % 2 == 0;
    // Up or down at random, turning back at an end; as far as it goes when neither fits.
    if (up ? adc + by <= HIGHEST_ADC : adc - by < LOWEST_ADC) {
      adc = std::min(adc + by, HIGHEST_ADC);
    } else {
      adc = std::max(adc - by, LOWEST_ADC);
    }
    observer.AllAnswered(5);
    const size_t first = observer.Events();
    const int64_t steppedAt = support::NowNs();
    if (!commands.Send("knob 0 " + std::to_string(adc))) return "box-sim took no command";
    if (!Eventually([&] { return ArrivedAt(observer, first, adc) >= 0; }, 5)) {
      ++missed;
      continue;
    }
    latencies.push_back(ArrivedAt(observer, first, adc) - steppedAt);
    posix::SleepUntilNs(support::NowNs() + int64_t{pauseUs(random)} * 1000);
  }
  commands.Send("quit");

  Result(setup.figures, "speaker_steps", SPEAKER_STEPS);
  Result(setup.figures, "speaker_missed", missed);
  Result(setup.figures, "speaker_median_us", Percentile(latencies, 0.5) / 1000);
  Result(setup.figures, "speaker_p99_us", Percentile(latencies, 0.99) / 1000);
  Result(setup.figures, "speaker_max_us", Percentile(latencies, 1.0) / 1000);
  fprintf(stderr, "%s: %d steps, %d never seen; knob to speaker median %.2f ms, p99 %.2f ms\n",
          setup.figures.c_str(), SPEAKER_STEPS, missed, Percentile(latencies, 0.5) / 1e6,
          Percentile(latencies, 0.99) / 1e6);
  return nullptr;
}

}  // namespace bench
