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
// size. Three times: each byte reaching the port as it leaves the UART (box_*), then through
// a 32U4's 1 ms USB frames (box_usb1000_*) and an Uno's 16U2 bridge (box_usb4096_*).
//
// With "paced", what pacing a line's writes (platform/write_pacer.h) costs and gains, for each
// interval given (microseconds, or "default" for the one knobvane ships with): the runs above
// and the knob-to-speaker time, and the CPU of knobvane and of the server while the box turns
// one knob, then all six (knobs_turning.h), on a server with a null output per knob; the box's
// bytes come in 1 ms USB frames, as a 32U4's do.
//
// Usage: pulse-bench PATH/TO/knobvane [pulseaudio|pipewire]
//        pulse-bench PATH/TO/knobvane box PATH/TO/box-sim PATH/TO/knobbox.elf
//        pulse-bench PATH/TO/knobvane paced pulseaudio|pipewire PATH/TO/box-sim
//                    PATH/TO/knobbox.elf INTERVAL_US|default...
// Everything it starts (the server's processes, knobvane, box-sim) lives in a temporary folder
// and is stopped by PID. Prints "RESULT <name> <value>" lines for bench/run, named pulse_* on
// PulseAudio, pipewire_* on PipeWire, box_* for the box and paced_<server>_<interval>_* for
// the pacing, and a summary on stderr; exits 1,
// saying why, when a run could not take place.
//
// The parts: the observer (pulse_observer.h), a run's readings and their matching
// (reading_run.h), the box's steps (knob_to_speaker.h), /proc's figures (process.h).
#include <sys/prctl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/knob_to_speaker.h"
#include "bench/knobs_turning.h"
#include "bench/process.h"
#include "bench/pulse_observer.h"
#include "bench/reading_run.h"
#include "platform/posix/clock.h"
#include "platform/write_pacer.h"
#include "tests/support/deadline.h"
#include "tests/support/pty_box.h"
#include "tests/support/sound_server.h"

namespace {

constexpr size_t FAST_READINGS = 20000;
constexpr size_t LINE_READINGS = 5 * 2304;  // five seconds at the line's rate
constexpr size_t MAX_EVENTS = 4 * (FAST_READINGS + LINE_READINGS);
// How far the volume seen may run ahead of the event that asked for it, in readings. A value
// seen further ahead, or not among the readings at all, is a reading out of its place.
constexpr size_t LAG_LIMIT = 900;

// The knob-to-speaker runs of "box": how the board's USB hands its bytes over.
struct BoxSpeakerRun {
  const char* figures;
  int usbFrameUs;
};
constexpr BoxSpeakerRun BOX_SPEAKER_RUNS[] = {{"box", 0},
                                              {"box_usb1000", bench::USB_FRAME_32U4_US},
                                              {"box_usb4096", bench::USB_FRAME_16U2_US}};

using bench::Percentile;
using bench::PulseVolumeOf;
using bench::ReadingRun;
using bench::ServerCpuSeconds;
using support::NowNs;

// knobvane on a pseudo-terminal as fast as it takes the readings, then at the line's rate;
// prints the figures named after `server`. nullptr, or what failed before any figure.
const char* Readings(const std::string& knobvane, const char* server,
                     const support::SoundServer& sound, bench::PulseObserver& observer) {
  const std::string& folder = sound.Folder();
  // The box: a pseudo-terminal, raw from the start so that nothing written early is echoed.
  support::Box box(folder + "/box");
  if (!box.PlugIn()) return "no pseudo-terminal";

  // Line 1 is the default output's "Master Volume": the null output, the server's only one.
  // knobvane waits 2 s after opening the port; the first reading shows it is past that and
  // reading. Only its volume counts: PipeWire sends change events of its own while it starts.
  bench::Started controller(support::Spawn({knobvane, box.Path(), "1"}, folder + "/knobvane.log"));
  observer.Await(PulseVolumeOf(500));
  if (!box.Send(ReadingLine(0, 500))) return "the pseudo-terminal refused a write";
  if (!observer.AwaitSeen(20)) return "knobvane applied no reading";
  observer.AllAnswered(5);
  const long startKb = bench::ProcKb(controller.Pid(), "status", "VmRSS:");

  // As fast as the terminal takes them.
  ReadingRun fast(observer, FAST_READINGS);
  std::string burst;
  for (const std::string& line : fast.text) burst += line;
  fast.Begin(NowNs());
  int64_t burstSentAt = 0;
  bool burstSent = false;
  std::thread sender([&] {
    burstSent = box.Send(burst);
    burstSentAt = NowNs();
  });
  const bool fastEnded = fast.End(60);
  sender.join();
  if (!burstSent) return "the pseudo-terminal refused a write";
  const size_t fastOutOfPlace = fast.Match(FAST_READINGS);
  const double fastSeconds = (fast.visibleAt.back() - fast.startedAt) / 1e9;
  const double fastLastUs = (fast.visibleAt.back() - burstSentAt) / 1e3;

  // At the line's rate, one whole reading every 1/2304 s.
  ReadingRun paced(observer, LINE_READINGS);
  paced.writtenAt.resize(LINE_READINGS);
  const double periodNs = 1e9 / bench::LINE_READINGS_PER_SECOND;
  const double cpuBefore = bench::CpuSeconds(controller.Pid());
  const double serverCpuBefore = ServerCpuSeconds(sound);
  paced.Begin(NowNs() + 1000000);
  for (size_t i = 0; i < LINE_READINGS; ++i) {
    posix::SleepUntilNs(paced.startedAt + static_cast<int64_t>(static_cast<double>(i) * periodNs));
    if (!box.Send(paced.text[i])) return "the pseudo-terminal refused a write";
    paced.writtenAt[i] = NowNs();
  }
  const bool pacedEnded = paced.End(60);
  const double cpu = bench::CpuSeconds(controller.Pid()) - cpuBefore;
  const double serverCpu = ServerCpuSeconds(sound) - serverCpuBefore;
  const long endKb = bench::ProcKb(controller.Pid(), "status", "VmRSS:");
  // Most of the resident memory is shared libraries' pages, which every process using them
  // counts in full; the anonymous part is the process's own, the proportional one its share.
  const long anonymousKb = bench::ProcKb(controller.Pid(), "status", "RssAnon:");
  const long proportionalKb = bench::ProcKb(controller.Pid(), "smaps_rollup", "Pss:");
  const size_t pacedOutOfPlace = paced.Match(LAG_LIMIT);
  const double pacedSeconds = (paced.visibleAt.back() - paced.startedAt) / 1e9;
  std::vector<int64_t> latencies;
  for (size_t i = 0; i < LINE_READINGS; ++i) {
    if (paced.visibleAt[i] >= 0) latencies.push_back(paced.visibleAt[i] - paced.writtenAt[i]);
  }

  const std::string prefix = server;
  bench::Result(prefix, "fast_rate", static_cast<double>(FAST_READINGS) / fastSeconds);
  bench::Result(prefix, "fast_readings", static_cast<double>(FAST_READINGS));
  bench::Result(prefix, "fast_events", static_cast<double>(fast.events));
  bench::Result(prefix, "fast_out_of_place", static_cast<double>(fastOutOfPlace));
  // From the return of the write of the burst's last byte; negative means never seen.
  bench::Result(prefix, "fast_last_latency_us", fastEnded ? fastLastUs : -1);
  // The last reading is written (LINE_READINGS - 1) periods after the first.
  bench::Result(prefix, "line_rate", static_cast<double>(LINE_READINGS - 1) / pacedSeconds);
  bench::Result(prefix, "line_readings", static_cast<double>(LINE_READINGS));
  bench::Result(prefix, "line_events", static_cast<double>(paced.events));
  bench::Result(prefix, "line_out_of_place", static_cast<double>(pacedOutOfPlace));
  bench::Result(prefix, "latency_median_us", Percentile(latencies, 0.5) / 1000);
  bench::Result(prefix, "latency_p99_us", Percentile(latencies, 0.99) / 1000);
  bench::Result(prefix, "latency_max_us", Percentile(latencies, 1.0) / 1000);
  bench::Result(prefix, "cpu_us_per_reading", cpu * 1e6 / LINE_READINGS);
  bench::Result(prefix, "cpu_percent", 100 * cpu / pacedSeconds);
  bench::Result(prefix, "server_cpu_percent", 100 * serverCpu / pacedSeconds);
  bench::Result(prefix, "server_cpu_us_per_reading", serverCpu * 1e6 / LINE_READINGS);
  bench::Result(prefix, "rss_start_kb", static_cast<double>(startKb));
  bench::Result(prefix, "rss_kb", static_cast<double>(endKb));
  bench::Result(prefix, "rss_anonymous_kb", static_cast<double>(anonymousKb));
  bench::Result(prefix, "pss_kb", static_cast<double>(proportionalKb));
  fprintf(stderr,
          "%s, as fast as possible: %zu readings, %zu events, last seen after %.3f s%s; at the "
          "line rate: %zu readings, %zu events, last seen after %.3f s%s, %.3f s of knobvane "
          "CPU\n",
          server, FAST_READINGS, fast.events, fastSeconds, fastEnded ? "" : " (never seen)",
          LINE_READINGS, paced.events, pacedSeconds, pacedEnded ? "" : " (never seen)", cpu);
  return nullptr;
}

// Every run of "paced", once per interval, knobvane taking it from its environment.
const char* Paced(const std::string& knobvane, const char* server, char** intervals, int count,
                  const support::SoundServer& sound, bench::PulseObserver& observer,
                  const bench::SpeakerSetup& box) {
  bench::Result("write_interval_default_us", WritePacer::WRITE_INTERVAL_NS / 1000.0);
  for (int i = 0; i < count; ++i) {
    const std::string interval = intervals[i];
    if (interval == "default") {
      unsetenv("KNOBVANE_WRITE_INTERVAL_US");
    } else {
      setenv("KNOBVANE_WRITE_INTERVAL_US", interval.c_str(), 1);
    }
    bench::SpeakerSetup setup = box;
    setup.figures = std::string("paced_") + server + "_" + interval;
    fprintf(stderr, "%s: writes paced at %s us\n", server, interval.c_str());
    const char* failure = Readings(knobvane, setup.figures.c_str(), sound, observer);
    if (failure == nullptr) failure = bench::KnobsTurning(sound, setup);
    if (failure == nullptr) failure = bench::KnobToSpeaker(observer, setup);
    if (failure != nullptr) return failure;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const bool paced = argc >= 7 && strcmp(argv[2], "paced") == 0 &&
                     (strcmp(argv[3], "pulseaudio") == 0 || strcmp(argv[3], "pipewire") == 0);
  const bool pipewire = (argc == 3 && strcmp(argv[2], "pipewire") == 0) ||
                        (paced && strcmp(argv[3], "pipewire") == 0);
  const bool speaker = argc == 5 && strcmp(argv[2], "box") == 0;
  if (!speaker && !paced &&
      (argc < 2 || argc > 3 || (argc == 3 && !pipewire && strcmp(argv[2], "pulseaudio") != 0))) {
    fprintf(stderr,
            "Usage: pulse-bench PATH/TO/knobvane [pulseaudio|pipewire]\n"
            "       pulse-bench PATH/TO/knobvane box PATH/TO/box-sim PATH/TO/knobbox.elf\n"
            "       pulse-bench PATH/TO/knobvane paced pulseaudio|pipewire PATH/TO/box-sim\n"
            "                   PATH/TO/knobbox.elf INTERVAL_US|default...\n");
    return 2;
  }
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  const std::string knobvane = argv[1];

  // Declared in this order so that they end in the other: the observer leaves the server
  // before it stops.
  support::SoundServer server(pipewire);
  const size_t runs = paced     ? static_cast<size_t>(argc - 6)
                      : speaker ? std::size(BOX_SPEAKER_RUNS)
                                : 1;
  bench::PulseObserver observer(MAX_EVENTS * runs);
  const char* failure = nullptr;
  if (!server.Start(paced ? bench::TurningOutputs() : std::vector<std::string>{})) {
    failure = "the private server did not start";
  } else if (!observer.Start(20)) {
    failure = "the private server did not come up";
  } else if (paced) {
    failure = Paced(knobvane, pipewire ? "pipewire" : "pulse", argv + 6, argc - 6, server, observer,
                    {knobvane, argv[4], argv[5], server.Folder()});
  } else if (speaker) {
    for (const BoxSpeakerRun& run : BOX_SPEAKER_RUNS) {
      bench::SpeakerSetup setup{knobvane,        argv[3],     argv[4],
                                server.Folder(), run.figures, run.usbFrameUs};
      if ((failure = bench::KnobToSpeaker(observer, setup)) != nullptr) break;
    }
  } else {
    failure = Readings(knobvane, pipewire ? "pipewire" : "pulse", server, observer);
  }
  if (failure == nullptr) return 0;
  fprintf(stderr, "pulse-bench: %s\n", failure);
  return 1;
}
