// The real knobvane program against a private sound server (PulseAudio, or PipeWire with its
// pulse server) with one null output: readings taken per second (as fast as the terminal takes
// them, and at the serial line's rate), the time from the last byte of a reading written into
// the pseudo-terminal to the new volume being visible to another client, and the CPU time of
// knobvane and of the server, and knobvane's resident memory.
//
// How a reading is seen: this program is a second client of the server, subscribed to the
// output's change events. Every event is answered at once with a query of the output's volume,
// and the answer's arrival is when the volume became visible. The readings of a run sweep the
// knob so that no two in a row carry the same level, and its last reading has a level found
// nowhere else in the run, so the run has ended when that level is seen. The volumes seen must
// follow the readings' order: each one a reading at or shortly after the one seen before, the
// last one the run's last reading. The server merges a change event into one for the same
// output still waiting to be sent, so when readings come faster than events go out, a volume
// seen can stand for several readings applied since the one seen before; each of those counts
// as visible at that answer. The event count is printed beside the reading count. knobvane
// itself lets a newer reading for a line replace one still waiting for the server, so fed
// faster than the server answers, a volume seen may be far ahead of the one seen before: the
// run as fast as possible only asks that the volumes seen keep the readings' order and end on
// the last one.
//
// With "box", the knob-to-speaker time instead: the box's firmware in box-sim --realtime, the
// same knobvane on its port, PulseAudio; from the moment a knob steps until this subscriber
// sees the output's new volume (as near as the firmware's deadband lets it come: a step that
// falls amid a knob's conversions is smoothed the rest of the way), over 200 steps of random
// size.
//
// Usage: pulse-bench PATH/TO/knobvane [pulseaudio|pipewire]
//        pulse-bench PATH/TO/knobvane box PATH/TO/box-sim PATH/TO/knobbox.elf
// Everything it starts (the server's processes, knobvane, box-sim) lives in a temporary folder
// and is stopped by PID. Prints "RESULT <name> <value>" lines for bench/run, named pulse_* on
// PulseAudio, pipewire_* on PipeWire and box_* for the box, and a summary on stderr.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pulse/pulseaudio.h>

#include "bench/bench.h"
#include "platform/pulse/pulse.h"
#include "tests/support/deadline.h"
#include "tests/support/process.h"
#include "tests/support/pty_box.h"
#include "tests/support/sound_server.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t FAST_READINGS = 20000;
constexpr size_t LINE_READINGS = 5 * 2304;  // five seconds at the line's rate
constexpr size_t MAX_EVENTS = 4 * (FAST_READINGS + LINE_READINGS);
// How far the volume seen may run ahead of the event that asked for it, in readings. A value
// seen further ahead, or not among the readings at all, is a reading out of its place.
constexpr size_t LAG_LIMIT = 900;

using bench::Percentile;
using support::NowNs;

// Polls every 200 us: the observer's thread must get the processor when it is woken.
template <typename Condition>
bool Eventually(Condition condition, double deadlineSeconds) {
  return support::Eventually(condition, deadlineSeconds, std::chrono::microseconds(200));
}

const char* resultPrefix = "pulse";

void Result(const char* name, double value) {
  bench::Result((std::string(resultPrefix) + "_" + name).c_str(), value);
}

[[noreturn]] void Die(const char* what) {
  fprintf(stderr, "pulse-bench: %s\n", what);
  exit(1);
}

// ---- The readings -------------------------------------------------------------------------

// The ADC value of reading i of a run of that many: a sweep over the audible range, and a
// level of its own at the end.
constexpr int LAST_ADC = 20;
int AdcOf(size_t i, size_t readings) {
  return i + 1 == readings ? LAST_ADC : bench::AdcOf(static_cast<int64_t>(i));
}

// The output's volume for that ADC value, in PulseAudio's units.
uint32_t PulseVolumeOf(int adc) { return pulse::ToPulse(VolumeOfAdc(adc)); }

// ---- Processes ----------------------------------------------------------------------------

// User plus system CPU time of a process, in seconds, from /proc/<pid>/stat.
double CpuSeconds(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return -1;
  char text[1024];
  const size_t n = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[n] = 0;
  // The fields after the command name, which is in parentheses and may hold spaces.
  const char* rest = strrchr(text, ')');
  if (rest == nullptr) return -1;
  unsigned long utime = 0, stime = 0;
  if (sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
      2) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---- The observer: a client of its own, subscribed to the output's changes ---------------

struct Observation {
  int64_t eventAt;
  int64_t answeredAt;
  uint32_t left;
  uint32_t right;
};

struct Observer {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  uint32_t sink = PA_INVALID_INDEX;
  std::vector<Observation> seen = std::vector<Observation>(MAX_EVENTS);
  std::atomic<size_t> events{0};
  std::atomic<size_t> answers{0};
  std::atomic<uint32_t> awaited{PA_VOLUME_INVALID};  // the volume that ends the current run
  std::atomic<bool> awaitedSeen{false};
};

Observer observer;

void OnVolume(pa_context*, const pa_sink_info* info, int eol, void* slot) {
  if (eol != 0 || info == nullptr) return;
  Observation& seen = observer.seen[reinterpret_cast<uintptr_t>(slot)];
  seen.answeredAt = NowNs();
  seen.left = info->volume.values[0];
  seen.right = info->volume.channels > 1 ? info->volume.values[1] : info->volume.values[0];
  if (seen.left == observer.awaited || seen.right == observer.awaited) observer.awaitedSeen = true;
  ++observer.answers;
}

void OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void*) {
  const int64_t now = NowNs();
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK ||
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE ||
      index != observer.sink) {
    return;
  }
  const size_t slot = observer.events;
  if (slot >= MAX_EVENTS) return;
  observer.seen[slot].eventAt = now;
  ++observer.events;
  pa_operation* query = pa_context_get_sink_info_by_index(
      context, index, OnVolume, reinterpret_cast<void*>(static_cast<uintptr_t>(slot)));
  if (query != nullptr) pa_operation_unref(query);
}

void OnState(pa_context*, void*) { pa_threaded_mainloop_signal(observer.loop, 0); }

void OnSink(pa_context*, const pa_sink_info* info, int eol, void*) {
  if (eol == 0 && info != nullptr) observer.sink = info->index;
  if (eol != 0) pa_threaded_mainloop_signal(observer.loop, 0);
}

void OnSubscribed(pa_context*, int, void*) { pa_threaded_mainloop_signal(observer.loop, 0); }

// Waits, with the loop locked, for an operation to end.
void Wait(pa_operation* operation) {
  if (operation == nullptr) Die("a server request failed");
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(observer.loop);
  }
  pa_operation_unref(operation);
}

// True once connected to the server, subscribed and knowing the output's index.
bool TryToObserve() {
  pa_threaded_mainloop_lock(observer.loop);
  observer.context =
      pa_context_new(pa_threaded_mainloop_get_api(observer.loop), "knobvane pulse-bench");
  pa_context_set_state_callback(observer.context, OnState, nullptr);
  bool ready = false;
  if (pa_context_connect(observer.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(observer.context);
      if (state == PA_CONTEXT_READY) ready = true;
      if (!PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_READY) break;
      pa_threaded_mainloop_wait(observer.loop);
    }
  }
  if (ready) {
    pa_context_set_subscribe_callback(observer.context, OnEvent, nullptr);
    Wait(pa_context_subscribe(observer.context, PA_SUBSCRIPTION_MASK_SINK, OnSubscribed, nullptr));
    Wait(pa_context_get_sink_info_by_name(observer.context, "knobs", OnSink, nullptr));
  } else {
    pa_context_unref(observer.context);
    observer.context = nullptr;
  }
  pa_threaded_mainloop_unlock(observer.loop);
  return ready && observer.sink != PA_INVALID_INDEX;
}

// ---- One run of readings ------------------------------------------------------------------

struct Run {
  explicit Run(size_t count) : readings(count), volumes(count), visibleAt(count, -1) {
    for (size_t i = 0; i < count; ++i) {
      text.push_back(ReadingLine(0, AdcOf(i, count)));
      volumes[i] = PulseVolumeOf(AdcOf(i, count));
    }
  }

  // Marks the start and makes the observer wait for the run's last volume.
  void Begin(int64_t at) {
    startedAt = at;
    firstEvent = observer.events;
    observer.awaitedSeen = false;
    observer.awaited = volumes.back();
  }

  // Waits for the last volume to be seen and every event to be answered; false when the last
  // volume did not show within the deadline.
  bool End(double deadlineSeconds) {
    const bool seen = Eventually([] { return bool{observer.awaitedSeen}; }, deadlineSeconds);
    Eventually([] { return observer.answers == observer.events; }, 5);
    events = observer.events - firstEvent;
    return seen;
  }

  // Matches the volumes seen to the readings, giving each reading the time it became visible;
  // the number of volumes out of place. A volume may be seen at most lagLimit readings after
  // the one seen before.
  size_t Match(size_t lagLimit) {
    size_t outOfPlace = 0;
    size_t next = 0;  // the first reading not yet seen
    for (size_t e = firstEvent; e < firstEvent + events; ++e) {
      const Observation& seen = observer.seen[e];
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
  std::vector<std::string> text;
  std::vector<uint32_t> volumes;
  std::vector<int64_t> visibleAt;
  std::vector<int64_t> writtenAt;  // paced runs only
  int64_t startedAt = 0;
  size_t firstEvent = 0;
  size_t events = 0;
};

support::SoundServer* server = nullptr;
pid_t controller = 0;
pid_t boxSim = 0;

void StopEverything() {
  support::StopProcess(controller);
  support::StopProcess(boxSim);
  delete server;
}

// CPU seconds of every process of the server.
double ServerCpuSeconds() {
  double seconds = 0;
  for (pid_t process : server->Processes()) seconds += CpuSeconds(process);
  return seconds;
}

// ---- The knob-to-speaker time: the box's firmware in box-sim, knobvane on its port --------

constexpr int SPEAKER_STEPS = 200;
// From a step the firmware follows at once (16 counts; smaller ones it smooths over a few
// ticks, as it does a resting knob's noise) to half the knob's travel.
constexpr int SMALLEST_STEP = 16;
constexpr int LARGEST_STEP = 511;
// The knob stays clear of the ends, where the firmware snaps readings to 0 and 1023.
constexpr int LOWEST_ADC = 16;
constexpr int HIGHEST_ADC = 1007;
// A reading this close to where the knob is counts as its new volume: the firmware's deadband.
constexpr int ARRIVED_COUNTS = 2;

// When an answer since event `first` first showed the output within ARRIVED_COUNTS of `adc`,
// or -1.
int64_t ArrivedAt(size_t first, int adc) {
  const uint32_t lowest = PulseVolumeOf(adc - ARRIVED_COUNTS);
  const uint32_t highest = PulseVolumeOf(adc + ARRIVED_COUNTS);
  for (size_t e = first; e < observer.answers; ++e) {
    const Observation& seen = observer.seen[e];
    if (seen.left >= lowest && seen.left <= highest) return seen.answeredAt;
  }
  return -1;
}

void KnobToSpeaker(const std::string& knobvane, const std::string& boxSimPath,
                   const std::string& firmware, const std::string& folder) {
  // box-sim's standard input is a FIFO this program holds open for reading and writing, so
  // that neither end waits for the other to open it.
  const std::string commands = folder + "/box-commands", link = folder + "/box";
  if (mkfifo(commands.c_str(), 0600) != 0) Die("no FIFO for box-sim's commands");
  const int toBox = open(commands.c_str(), O_RDWR | O_CLOEXEC);
  if (toBox < 0) Die("cannot open box-sim's commands");
  auto command = [toBox](const std::string& line) {
    const std::string text = line + "\n";
    if (write(toBox, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      Die("box-sim took no command");
    }
  };
  int adc = 500;
  command("knob 0 " + std::to_string(adc));
  boxSim = support::Spawn({boxSimPath, firmware, "--link", link, "--realtime"},
                          folder + "/box-sim.log", commands.c_str());
  struct stat linked;
  if (boxSim <= 0 || !Eventually([&] { return lstat(link.c_str(), &linked) == 0; }, 20)) {
    Die("box-sim did not come up");
  }
  // Opening the port restarts the simulated board, whose report brings the knob once
  // knobvane's 2 s pause after opening is over.
  observer.awaited = PulseVolumeOf(adc);
  controller = support::Spawn({knobvane, link, "1"}, folder + "/knobvane.log");
  if (!Eventually([] { return bool{observer.awaitedSeen}; }, 20)) {
    Die("knobvane applied no reading of the box's");
  }

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
    Eventually([] { return observer.answers == observer.events; }, 5);
    const size_t first = observer.events;
    const int64_t steppedAt = NowNs();
    command("knob 0 " + std::to_string(adc));
    if (!Eventually([&] { return ArrivedAt(first, adc) >= 0; }, 5)) {
      ++missed;
      continue;
    }
    latencies.push_back(ArrivedAt(first, adc) - steppedAt);
    posix::SleepUntilNs(NowNs() + int64_t{pauseUs(random)} * 1000);
  }
  command("quit");
  close(toBox);

  Result("speaker_steps", SPEAKER_STEPS);
  Result("speaker_missed", missed);
  Result("speaker_median_us", Percentile(latencies, 0.5) / 1000);
  Result("speaker_p99_us", Percentile(latencies, 0.99) / 1000);
  Result("speaker_max_us", Percentile(latencies, 1.0) / 1000);
  fprintf(stderr, "box: %d steps, %d never seen; knob to speaker median %.2f ms, p99 %.2f ms\n",
          SPEAKER_STEPS, missed, Percentile(latencies, 0.5) / 1e6,
          Percentile(latencies, 0.99) / 1e6);
}

void StopObserving() {
  pa_threaded_mainloop_lock(observer.loop);
  pa_context_disconnect(observer.context);
  pa_context_unref(observer.context);
  pa_threaded_mainloop_unlock(observer.loop);
  pa_threaded_mainloop_stop(observer.loop);
  pa_threaded_mainloop_free(observer.loop);
}

}  // namespace

int main(int argc, char** argv) {
  const bool pipewire = argc == 3 && strcmp(argv[2], "pipewire") == 0;
  const bool speaker = argc == 5 && strcmp(argv[2], "box") == 0;
  if (!speaker &&
      (argc < 2 || argc > 3 || (argc == 3 && !pipewire && strcmp(argv[2], "pulseaudio") != 0))) {
    fprintf(stderr,
            "Usage: pulse-bench PATH/TO/knobvane [pulseaudio|pipewire]\n"
            "       pulse-bench PATH/TO/knobvane box PATH/TO/box-sim PATH/TO/knobbox.elf\n");
    return 2;
  }
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  const std::string knobvane = argv[1];
  if (pipewire) resultPrefix = "pipewire";
  if (speaker) resultPrefix = "box";

  atexit(StopEverything);
  server = new support::SoundServer(pipewire);
  const std::string folder = server->Folder();
  if (!server->Start()) Die("the private server did not start");

  observer.loop = pa_threaded_mainloop_new();
  if (observer.loop == nullptr || pa_threaded_mainloop_start(observer.loop) < 0) {
    Die("no main loop");
  }
  if (!Eventually(TryToObserve, 20)) Die("the private server did not come up");
  if (speaker) {
    KnobToSpeaker(knobvane, argv[3], argv[4], folder);
    StopObserving();
    return 0;
  }

  // The box: a pseudo-terminal, raw from the start so that nothing written early is echoed.
  support::Box box(folder + "/box");
  if (!box.PlugIn()) Die("no pseudo-terminal");
  auto send = [&box](const std::string& text) {
    if (!box.Send(text)) Die("the pseudo-terminal refused a write");
  };

  // Line 1 is the default output's "Master Volume": the null output, the server's only one.
  // knobvane waits 2 s after opening the port; the first reading shows it is past that and
  // reading. Only its volume counts: PipeWire sends change events of its own while it starts.
  controller = support::Spawn({knobvane, box.Path(), "1"}, folder + "/knobvane.log");
  observer.awaited = PulseVolumeOf(500);
  send(ReadingLine(0, 500));
  if (!Eventually([] { return bool{observer.awaitedSeen}; }, 20)) {
    Die("knobvane applied no reading");
  }
  Eventually([] { return observer.answers == observer.events; }, 5);
  const long startKb = bench::ProcKb(controller, "status", "VmRSS:");

  // As fast as the terminal takes them.
  Run fast(FAST_READINGS);
  std::string burst;
  for (const std::string& line : fast.text) burst += line;
  fast.Begin(NowNs());
  int64_t burstSentAt = 0;
  std::thread sender([&] {
    send(burst);
    burstSentAt = NowNs();
  });
  const bool fastEnded = fast.End(60);
  sender.join();
  const size_t fastOutOfPlace = fast.Match(FAST_READINGS);
  const double fastSeconds = (fast.visibleAt.back() - fast.startedAt) / 1e9;
  const double fastLastUs = (fast.visibleAt.back() - burstSentAt) / 1e3;

  // At the line's rate, one whole reading every 1/2304 s.
  Run paced(LINE_READINGS);
  paced.writtenAt.resize(LINE_READINGS);
  const double periodNs = 1e9 / bench::LINE_READINGS_PER_SECOND;
  const double cpuBefore = CpuSeconds(controller);
  const double serverCpuBefore = ServerCpuSeconds();
  paced.Begin(NowNs() + 1000000);
  for (size_t i = 0; i < LINE_READINGS; ++i) {
    posix::SleepUntilNs(paced.startedAt + static_cast<int64_t>(static_cast<double>(i) * periodNs));
    send(paced.text[i]);
    paced.writtenAt[i] = NowNs();
  }
  const bool pacedEnded = paced.End(60);
  const double cpu = CpuSeconds(controller) - cpuBefore;
  const double serverCpu = ServerCpuSeconds() - serverCpuBefore;
  const long endKb = bench::ProcKb(controller, "status", "VmRSS:");
  // Most of the resident memory is shared libraries' pages, which every process using them
  // counts in full; the anonymous part is the process's own, the proportional one its share.
  const long anonymousKb = bench::ProcKb(controller, "status", "RssAnon:");
  const long proportionalKb = bench::ProcKb(controller, "smaps_rollup", "Pss:");
  const size_t pacedOutOfPlace = paced.Match(LAG_LIMIT);
  const double pacedSeconds = (paced.visibleAt.back() - paced.startedAt) / 1e9;
  std::vector<int64_t> latencies;
  for (size_t i = 0; i < LINE_READINGS; ++i) {
    if (paced.visibleAt[i] >= 0) latencies.push_back(paced.visibleAt[i] - paced.writtenAt[i]);
  }

  Result("fast_rate", static_cast<double>(FAST_READINGS) / fastSeconds);
  Result("fast_readings", static_cast<double>(FAST_READINGS));
  Result("fast_events", static_cast<double>(fast.events));
  Result("fast_out_of_place", static_cast<double>(fastOutOfPlace));
  // From the return of the write of the burst's last byte; negative means never seen.
  Result("fast_last_latency_us", fastEnded ? fastLastUs : -1);
  // The last reading is written (LINE_READINGS - 1) periods after the first.
  Result("line_rate", static_cast<double>(LINE_READINGS - 1) / pacedSeconds);
  Result("line_readings", static_cast<double>(LINE_READINGS));
  Result("line_events", static_cast<double>(paced.events));
  Result("line_out_of_place", static_cast<double>(pacedOutOfPlace));
  Result("latency_median_us", bench::Percentile(latencies, 0.5) / 1000);
  Result("latency_p99_us", bench::Percentile(latencies, 0.99) / 1000);
  Result("latency_max_us", bench::Percentile(latencies, 1.0) / 1000);
  Result("cpu_us_per_reading", cpu * 1e6 / LINE_READINGS);
  Result("cpu_percent", 100 * cpu / pacedSeconds);
  Result("server_cpu_percent", 100 * serverCpu / pacedSeconds);
  Result("server_cpu_us_per_reading", serverCpu * 1e6 / LINE_READINGS);
  Result("rss_start_kb", static_cast<double>(startKb));
  Result("rss_kb", static_cast<double>(endKb));
  Result("rss_anonymous_kb", static_cast<double>(anonymousKb));
  Result("pss_kb", static_cast<double>(proportionalKb));
  fprintf(stderr,
          "%s, as fast as possible: %zu readings, %zu events, last seen after %.3f s%s; at the "
          "line rate: %zu readings, %zu events, last seen after %.3f s%s, %.3f s of knobvane "
          "CPU\n",
          resultPrefix, FAST_READINGS, fast.events, fastSeconds, fastEnded ? "" : " (never seen)",
          LINE_READINGS, paced.events, pacedSeconds, pacedEnded ? "" : " (never seen)", cpu);

  box.Unplug();
  StopObserving();
  return 0;
}
