// The box's steps and their timing; the firmware's rules set the step sizes (knob_box.h).
#include "bench/knob_to_speaker.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
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
// samples, as it does a resting knob's noise) to half the knob's travel.
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

// A step of the knob: where it went, when, and when the observer saw it (-1: never).
struct Step {
  int adc;
  int64_t steppedAt;
  int64_t seenAt = -1;
  // How far box-sim ran behind the clock over the step, when `timed`: the time from the step
  // to its line reaching the port, less the firmware's share of it in simulated time. Below 0
  // when the simulation took the command at a moment before it was sent.
  bool timed = false;
  int64_t behindNs = 0;
  int64_t atPortNs = 0;  // when, timed, the step's line reached the port
};

// Reads box-sim's timing (--timing) from its log: for each step in turn, its "set" line, and
// the first line of knob 0 sent after it that carries the step's reading; from them, how far
// box-sim ran behind the clock at that step. The first "set" is the knob's place at start.
void ReadBehind(const std::string& log, std::vector<Step>& steps) {
  std::ifstream in(log);
  std::string text;
  int set = -1;  // the step whose line is awaited, -1 before the first step
  double setMs = 0;
  while (std::getline(in, text)) {
    std::istringstream line(text);
    std::string kind;
    double ms = 0;
    line >> kind >> ms;
    if (kind == "set") {
      int knob = -1, adc = -1;
      line >> knob >> adc;
      ++set;
      setMs = ms;
      if (set > 0 && (set > static_cast<int>(steps.size()) || steps[set - 1].adc != adc)) return;
    } else if (kind == "sent" && set > 0) {
      int reading = -1;
      unsigned long long clockNs = 0;
      line >> reading >> clockNs;
      Step& step = steps[set - 1];
      if (!line || reading / 1024 != 0 || step.timed ||
          std::abs(reading % 1024 - step.adc) > ARRIVED_COUNTS) {
        continue;
      }
      const int64_t firmwareNs = static_cast<int64_t>((ms - setMs) * 1e6);
      step.behindNs = static_cast<int64_t>(clockNs) - step.steppedAt - firmwareNs;
      step.atPortNs = static_cast<int64_t>(clockNs);
      step.timed = true;
    }
  }
}

// The step whose latency is the given percentile of the steps seen (as Percentile ranks
// them), or nullptr.
const Step* StepAt(const std::vector<Step>& steps, double fraction) {
  std::vector<const Step*> seen;
  for (const Step& step : steps) {
    if (step.seenAt >= 0) seen.push_back(&step);
  }
  if (seen.empty()) return nullptr;
  std::sort(seen.begin(), seen.end(), [](const Step* a, const Step* b) {
    return a->seenAt - a->steppedAt < b->seenAt - b->steppedAt;
  });
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(seen.size()) + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), seen.size());
  return seen[rank - 1];
}

}  // namespace

const char* KnobToSpeaker(PulseObserver& observer, const SpeakerSetup& setup) {
  const std::string commandsPath = setup.folder + "/box-commands";
  const std::string link = setup.folder + "/box";
  BoxCommands commands(commandsPath);
  if (!commands.Ready()) return "no FIFO for box-sim's commands";
  int adc = 500;
  if (!commands.Send("knob 0 " + std::to_string(adc))) return "box-sim took no command";
  // A log of this run's own: the timing is read back from it, and an earlier run in the same
  // folder would be read as this one's steps.
  const std::string boxSimLog = setup.folder + "/" + setup.figures + "-box-sim.log";
  unlink(boxSimLog.c_str());
  Started boxSim(
      StartBoxSim(setup.boxSim, setup.firmware, commands, link, boxSimLog, setup.usbFrameUs, true));
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
  std::vector<Step> steps;
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
    steps.push_back({adc, support::NowNs()});
    if (!commands.Send("knob 0 " + std::to_string(adc))) return "box-sim took no command";
    if (!Eventually([&] { return ArrivedAt(observer, first, adc) >= 0; }, 5)) continue;
    steps.back().seenAt = ArrivedAt(observer, first, adc);
    posix::SleepUntilNs(support::NowNs() + int64_t{pauseUs(random)} * 1000);
  }
  commands.Send("quit");
  // box-sim writes each timing line as it goes: the last step's is in its log by now.
  ReadBehind(boxSimLog, steps);

  std::vector<int64_t> latencies, behind, withoutBehind, fromPort;
  for (const Step& step : steps) {
    if (step.seenAt < 0) continue;
    latencies.push_back(step.seenAt - step.steppedAt);
    if (!step.timed) continue;
    behind.push_back(step.behindNs);
    withoutBehind.push_back(step.seenAt - step.steppedAt - step.behindNs);
    fromPort.push_back(step.seenAt - step.atPortNs);
  }
  const int missed = SPEAKER_STEPS - static_cast<int>(latencies.size());
  Result(setup.figures, "speaker_steps", SPEAKER_STEPS);
  Result(setup.figures, "speaker_missed", missed);
  Result(setup.figures, "speaker_timed", static_cast<double>(behind.size()));
  const std::pair<const char*, double> ranks[] = {{"median", 0.5}, {"p99", 0.99}, {"max", 1.0}};
  for (const auto& rank : ranks) {
    const std::string name = rank.first;
    Result(setup.figures, ("speaker_" + name + "_us").c_str(),
           Percentile(latencies, rank.second) / 1000);
    // How far box-sim ran behind the clock at the very step of that figure, and the figures
    // without it: what the box, knobvane and the server took.
    const Step* at = StepAt(steps, rank.second);
    Result(setup.figures, ("speaker_" + name + "_behind_us").c_str(),
           at == nullptr || !at->timed ? -1e9 : static_cast<double>(at->behindNs) / 1000);
    Result(setup.figures, ("speaker_less_behind_" + name + "_us").c_str(),
           Percentile(withoutBehind, rank.second) / 1000);
    // The computer's share alone: from the line reaching the port to the volume seen.
    Result(setup.figures, ("speaker_from_port_" + name + "_us").c_str(),
           Percentile(fromPort, rank.second) / 1000);
  }
  fprintf(stderr,
          "%s: %d steps, %d never seen; knob to speaker median %.2f ms, p99 %.2f ms; box-sim "
          "behind the clock median %.2f ms, p99 %.2f ms\n",
          setup.figures.c_str(), SPEAKER_STEPS, missed, Percentile(latencies, 0.5) / 1e6,
          Percentile(latencies, 0.99) / 1e6, Percentile(behind, 0.5) / 1e6,
          Percentile(behind, 0.99) / 1e6);
  return nullptr;
}

}  // namespace bench
