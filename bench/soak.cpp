// The soak: the controller's real loop through 1,000 hang-ups and reconnections and
// 1,000,000 readings, on two lines of the simulated mixer. Every reading sent while the box
// is plugged in must be applied, in order, to the line of its channel, and the process's open
// file descriptors and resident memory must stay where they were after the first cycle.
//
// Prints "RESULT <name> <value>" lines for bench/run, and a summary on stderr. Exits 1 when a
// reading was lost or misapplied, or descriptors or memory grew. `soak CYCLES` runs that many
// cycles instead (2 or more): the integration tests run a short one.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench.h"
#include "bench/process.h"
#include "tests/support/controller_thread.h"
#include "tests/support/deadline.h"

namespace {

constexpr int DEFAULT_CYCLES = 1000;
constexpr int64_t READINGS_PER_CYCLE = 1000;
// Memory may move by allocator noise, not by what a cycle leaves behind.
constexpr long RSS_SLACK_KB = 256;
// Under AddressSanitizer freed memory waits in a quarantine, so resident memory grows by
// design; the sanitizer's own leak check at exit stands in for it there.
#if defined(__SANITIZE_ADDRESS__)  // gcc
constexpr bool MEMORY_TELLS_LEAKS = false;
#elif defined(__has_feature)  // clang
constexpr bool MEMORY_TELLS_LEAKS = !__has_feature(address_sanitizer);
#else
constexpr bool MEMORY_TELLS_LEAKS = true;
#endif

const DWORD SPEAKERS = sim::DestinationLineID(0);  // line 1, channel 0
const DWORD MONO = sim::DestinationLineID(1);      // line 2, channel 1

std::atomic<int64_t> appliedCount{0};
std::atomic<int64_t> misapplied{0};

// Reading i goes to channel i % 2, with an ADC value sweeping the audible range.
int ChannelOf(int64_t i) { return static_cast<int>(i % 2); }

// The writes come in reading order, so the nth write must carry the nth reading.
void CheckWrite(const sim::CallRecord& call) {
  if (call.call != sim::Call::SetControlDetails) return;
  const int64_t i = appliedCount.load(std::memory_order_relaxed);
  const DWORD line = ChannelOf(i) == 0 ? SPEAKERS : MONO;
  const DWORD level = VolumeOfAdc(bench::AdcOf(i));
  if (call.lineID != line || bench::LevelOf(call, level) != level) ++misapplied;
  appliedCount.store(i + 1, std::memory_order_release);
}

int OpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (readdir(folder) != nullptr) ++count;
  closedir(folder);
  return count - 3;  // ".", ".." and the folder's own descriptor
}

}  // namespace

int main(int argc, char* argv[]) {
  const int totalCycles = argc > 1 ? atoi(argv[1]) : DEFAULT_CYCLES;
  if (totalCycles < 2) {
    fprintf(stderr, "usage: soak [CYCLES of 2 or more]\n");
    return 2;
  }
  sim::Install(sim::Topology()
                   .Device("Card")
                   .Destination("Speakers", 2)
                   .Volume(65535, 32, {40000, 20000})
                   .Destination("Mono", 1)
                   .Volume(65535, 32, {1000}));
  sim::ObserveCalls(CheckWrite);
  support::ControllerThread controller;
  support::retryPause = bench::POLL;
  // Every cycle is two changes of the box's state: told, they would fill the terminal.
  tellState = [](const char*) {};
  controller.Start("1 2");

  const int64_t start = support::NowNs();
  int64_t sent = 0;
  int cycles = 0;
  int startDescriptors = 0, endDescriptors = 0, mostDescriptors = 0;
  long startKb = 0, endKb = 0, mostKb = 0;
  bool lost = false;
  std::string text;
  for (; cycles < totalCycles; ++cycles) {
    if (!controller.box.PlugIn()) {
      perror("openpty");
      return 2;
    }
    text.clear();
    for (int64_t i = sent; i < sent + READINGS_PER_CYCLE; ++i) {
      text += ReadingLine(ChannelOf(i), bench::AdcOf(i));
    }
    controller.box.Send(text);
    sent += READINGS_PER_CYCLE;
    if (!support::Eventually([&] { return appliedCount == sent; }, 10, bench::POLL)) {
      lost = true;
      break;
    }
    // Unplugged with every reading applied: the controller must notice, let the port go and
    // try again.
    const int64_t attemptsBefore = support::attempts;
    controller.box.Unplug();
    if (!support::Eventually([&] { return support::attempts > attemptsBefore; }, 10, bench::POLL)) {
      fprintf(stderr, "the controller did not notice the hang-up of cycle %d\n", cycles + 1);
      lost = true;
      break;
    }
    sim::ClearCalls();
    endDescriptors = OpenDescriptors();
    endKb = bench::ProcKb(0, "status", "VmRSS:");
    if (cycles == 0) {
      startDescriptors = endDescriptors;
      startKb = endKb;
    }
    mostDescriptors = std::max(mostDescriptors, endDescriptors);
    mostKb = std::max(mostKb, endKb);
  }
  const double seconds = (support::NowNs() - start) / 1e9;
  controller.Stop();
  sim::ObserveCalls(nullptr);

  const int64_t applied = appliedCount;
  bench::Result("soak_cycles", cycles);
  bench::Result("soak_sent", static_cast<double>(sent));
  bench::Result("soak_applied", static_cast<double>(applied));
  bench::Result("soak_misapplied", static_cast<double>(misapplied));
  bench::Result("soak_seconds", seconds);
  bench::Result("soak_fds_start", startDescriptors);
  bench::Result("soak_fds_end", endDescriptors);
  bench::Result("soak_fds_most", mostDescriptors);
  bench::Result("soak_rss_start_kb", static_cast<double>(startKb));
  bench::Result("soak_rss_end_kb", static_cast<double>(endKb));
  bench::Result("soak_rss_most_kb", static_cast<double>(mostKb));
  fprintf(stderr,
          "soak: %d cycles, %lld readings sent, %lld applied, %lld misapplied in %.1f s; "
          "descriptors %d -> %d (most %d), resident %ld -> %ld kB (most %ld)\n",
          cycles, static_cast<long long>(sent), static_cast<long long>(applied),
          static_cast<long long>(misapplied.load()), seconds, startDescriptors, endDescriptors,
          mostDescriptors, startKb, endKb, mostKb);
  const bool flat = endDescriptors == startDescriptors && mostDescriptors == startDescriptors &&
                    (!MEMORY_TELLS_LEAKS || endKb <= startKb + RSS_SLACK_KB);
  return lost || applied != sent || misapplied != 0 || !flat ? 1 : 0;
}
