// The knobs turning, as box_bench.sh turns them in simulated time, here against the clock:
// every 5 ms each turning knob moves on by 30 to 65 counts, back and forth over its whole
// travel, the others resting, all with 2 counts of ADC noise; the last move takes each to a
// place of its own, clear of the ends (where the firmware snaps readings). The CPU time is
// taken SETTLE_NS after the last move, so that the writes still on their way then are in it;
// then every output must come to where its knob stopped (the last reading applied), read with
// pactl outside the time taken, as pactl costs the server a connection each.
#include "bench/knobs_turning.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

constexpr int KNOBS = READING_KNOBS;
constexpr int64_t TURNING_NS = 10000000000;
constexpr int64_t RESTING_NS = 5000000000;
constexpr int64_t MOVE_EVERY_NS = 5000000;
constexpr int64_t SETTLE_NS = 200000000;
// The knobs' places at rest: clear of the ends, where the firmware snaps readings, and of
// each other.
constexpr int REST_ADC[KNOBS] = {200, 300, 400, 500, 600, 700};
// Where each turning knob stops, as its last move: the last reading it sends is there.
constexpr int STOP_ADC[KNOBS] = {650, 550, 450, 350, 250, 150};

// The null output knob k sets ("knobs" for knob 0), and its line: the devices' lines come
// after the defaults' (1 and 3), two numbers apart, in the order the outputs were loaded.
std::string OutputOf(int knob) { return knob == 0 ? "knobs" : "k" + std::to_string(knob + 1); }
int LineOf(int knob) { return 5 + 2 * knob; }

// The left channel of an output's volume (PulseAudio units), read with pactl; -1 when it
// cannot be read.
long OutputVolume(int knob) {
  const std::string command = "pactl get-sink-volume " + OutputOf(knob) + " 2>/dev/null";
  FILE* pactl = popen(command.c_str(), "r");
  if (pactl == nullptr) return -1;
  long volume = -1;
  if (fscanf(pactl, "Volume: %*[^:]: %ld", &volume) != 1) volume = -1;
  pclose(pactl);
  return volume;
}

// Whether every output comes, within 10 s, to its knob's place (ADC counts).
bool AtPlaces(const int (&adc)[KNOBS]) {
  return Eventually(
      [&] {
        for (int k = 0; k < KNOBS; ++k) {
          const long volume = OutputVolume(k);
          if (volume < PulseVolumeOf(adc[k] - ARRIVED_COUNTS) ||
              volume > PulseVolumeOf(adc[k] + ARRIVED_COUNTS)) {
            return false;
          }
        }
        return true;
      },
      10);
}

// Puts every knob at its place of rest, and waits until every output shows it.
bool Rest(BoxCommands& commands) {
  std::string text;
  for (int k = 0; k < KNOBS; ++k) {
    text += "knob " + std::to_string(k) + " " + std::to_string(REST_ADC[k]) + "\n";
  }
  return commands.Send(text) && AtPlaces(REST_ADC);
}

// How many lines box-sim has delivered to the port; -1 when it did not say. Its answers go to
// its log, the last "lines" one being the newest.
long LinesSent(BoxCommands& commands, const std::string& log) {
  const auto lastAnswer = [&log](int* count) {
    std::ifstream in(log);
    long lines = -1;
    *count = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("lines ", 0) == 0) {
        lines = atol(line.c_str() + 6);
        ++*count;
      }
    }
    return lines;
  };
  int before = 0, after = 0;
  lastAnswer(&before);
  if (!commands.Send("lines")) return -1;
  long lines = -1;
  Eventually(
      [&] {
        lines = lastAnswer(&after);
        return after > before;
      },
      5);
  return after > before ? lines : -1;
}

// Turns the first `turning` knobs (none: all rest) for that long from their places of rest;
// prints the figures named prefix_*. False when an output did not come to where its knob
// stopped.
bool Turn(BoxCommands& commands, const std::string& boxLog, pid_t knobvane,
          const support::SoundServer& server, int turning, int64_t forNs,
          const std::string& prefix) {
  int adc[KNOBS];
  int step[KNOBS];
  for (int k = 0; k < KNOBS; ++k) {
    adc[k] = REST_ADC[k];
    step[k] = (k % 2 ? -1 : 1) * (30 + 7 * k);
  }
  const long linesBefore = LinesSent(commands, boxLog);
  const double cpuBefore = CpuSeconds(knobvane);
  const long switchesBefore = ContextSwitches(knobvane);
  const double serverBefore = ServerCpuSeconds(server);
  const int64_t startedAt = support::NowNs();
  for (int64_t at = startedAt; turning > 0 && at < startedAt + forNs; at += MOVE_EVERY_NS) {
    posix::SleepUntilNs(at);
    std::string moves;
    for (int k = 0; k < turning; ++k) {
      if (adc[k] + step[k] < 0 || adc[k] + step[k] > READING_ADC_TOP) step[k] = -step[k];
      adc[k] += step[k];
      moves += "knob " + std::to_string(k) + " " + std::to_string(adc[k]) + "\n";
    }
    if (!commands.Send(moves)) return false;
  }
  std::string stops;
  for (int k = 0; k < turning; ++k) {
    adc[k] = STOP_ADC[k];
    stops += "knob " + std::to_string(k) + " " + std::to_string(adc[k]) + "\n";
  }
  if (turning > 0 && !commands.Send(stops)) return false;
  posix::SleepUntilNs(startedAt + forNs + SETTLE_NS);
  const double cpu = CpuSeconds(knobvane) - cpuBefore;
  const long switches = ContextSwitches(knobvane) - switchesBefore;
  const double serverCpu = ServerCpuSeconds(server) - serverBefore;
  const double seconds = (support::NowNs() - startedAt) / 1e9;
  const long lines = LinesSent(commands, boxLog) - linesBefore;
  const bool landed = AtPlaces(adc);

  Result(prefix, "seconds", seconds);
  Result(prefix, "lines", static_cast<double>(lines));
  Result(prefix, "lines_per_s", static_cast<double>(lines) / seconds);
  Result(prefix, "cpu_percent", 100 * cpu / seconds);
  Result(prefix, "server_cpu_percent", 100 * serverCpu / seconds);
  Result(prefix, "cpu_us_per_line", lines > 0 ? cpu * 1e6 / static_cast<double>(lines) : -1);
  Result(prefix, "server_cpu_us_per_line",
         lines > 0 ? serverCpu * 1e6 / static_cast<double>(lines) : -1);
  // Where knobvane's time goes: each wake-up costs it a few system calls and a switch.
  Result(prefix, "switches_per_line",
         lines > 0 ? static_cast<double>(switches) / static_cast<double>(lines) : -1);
  Result(prefix, "last_applied", landed ? 1 : 0);
  fprintf(stderr,
          "%s: %ld lines in %.1f s; knobvane %.3f s, server %.3f s of CPU; last readings %s\n",
          prefix.c_str(), lines, seconds, cpu, serverCpu, landed ? "applied" : "NOT applied");
  // Back to where the next run starts.
  return landed && Rest(commands);
}

}  // namespace

double ServerCpuSeconds(const support::SoundServer& server) {
  double seconds = 0;
  for (pid_t process : server.Processes()) seconds += CpuSeconds(process);
  return seconds;
}

std::vector<std::string> TurningOutputs() {
  std::vector<std::string> outputs;
  for (int k = 1; k < KNOBS; ++k) outputs.push_back("module-null-sink sink_name=" + OutputOf(k));
  return outputs;
}

const char* KnobsTurning(const support::SoundServer& server, const SpeakerSetup& setup) {
  BoxCommands commands(setup.folder + "/turning-commands");
  if (!commands.Ready()) return "no FIFO for box-sim's commands";
  const std::string boxLog = setup.folder + "/turning-box-sim.log";
  const std::string link = setup.folder + "/turning-box";
  std::string places = "noise 2\n";
  for (int k = 0; k < KNOBS; ++k) {
    places += "knob " + std::to_string(k) + " " + std::to_string(REST_ADC[k]) + "\n";
  }
  if (!commands.Send(places)) return "box-sim took no command";
  Started boxSim(
      StartBoxSim(setup.boxSim, setup.firmware, commands, link, boxLog, setup.usbFrameUs));
  if (boxSim.Pid() <= 0) return "box-sim did not come up";
  std::vector<std::string> arguments = {setup.knobvane, link};
  for (int k = 0; k < KNOBS; ++k) arguments.push_back(std::to_string(LineOf(k)));
  Started knobvane(support::Spawn(arguments, setup.folder + "/knobvane.log"));
  // The box's report at connect brings every knob once knobvane's 2 s pause is over.
  if (!AtPlaces(REST_ADC)) return "knobvane did not apply the box's report";

  // At rest first: what the server costs anyway (PipeWire runs its graph), and that a resting
  // box costs nothing.
  const bool rest =
      Turn(commands, boxLog, knobvane.Pid(), server, 0, RESTING_NS, setup.figures + "_rest");
  const bool one =
      rest && Turn(commands, boxLog, knobvane.Pid(), server, 1, TURNING_NS, setup.figures + "_one");
  const bool six = one && Turn(commands, boxLog, knobvane.Pid(), server, KNOBS, TURNING_NS,
                               setup.figures + "_six");
  commands.Send("quit");
  return rest && one && six ? nullptr : "the knobs' last readings were not applied";
}

}  // namespace bench
