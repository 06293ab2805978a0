// The controller's real loop run in-process for the benchmarks and the soak: RunKnobvane on
// its own thread, reading a pseudo-terminal through the POSIX serial layer and driving the
// simulated mixer. Only the pause after each connection attempt is replaced, so a hang-up is
// followed by the next attempt at once instead of 2 s later.
#ifndef KNOBVANE_BENCH_CONTROLLER_RIG_H
#define KNOBVANE_BENCH_CONTROLLER_RIG_H

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "controller/knobvane.h"
#include "platform/sim/sim_mixer.h"
#include "tests/pty_box.h"

namespace rig {

inline int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Polls condition every 50 us until it holds or deadlineSeconds have passed.
template <typename Condition>
bool Eventually(Condition condition, double deadlineSeconds = 10) {
  const int64_t deadline = NowNs() + static_cast<int64_t>(deadlineSeconds * 1e9);
  while (!condition()) {
    if (NowNs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

// One line of the box: channel * 1024 + adc, as the box sends it.
inline std::string ReadingText(int channel, int adc) {
  return std::to_string(channel * 1024 + adc) + "\n";
}

// What the controller writes to a line whose maximum is 65535 for that ADC value.
inline DWORD VolumeOf(int adc) { return static_cast<DWORD>(adc) * 65535u / 1023u; }

// The level a volume write carries: expected when one of its channels has exactly that value
// (the loudest one gets it exactly; another channel tied with it may end one above it), or
// else the highest channel value.
inline DWORD LevelOf(const sim::CallRecord& write, DWORD expected) {
  DWORD highest = 0;
  for (DWORD value : write.values) {
    if (value == expected) return expected;
    highest = value > highest ? value : highest;
  }
  return highest;
}

// Counts connection attempts; ends the loop at the first attempt after Stop.
inline std::atomic<bool> stopping{false};
inline std::atomic<int64_t> attempts{0};

inline bool BenchPause(DWORD /*milliseconds*/) {
  ++attempts;
  if (stopping) return false;
  // A port that is missing is retried every 50 us rather than in a tight loop.
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  return true;
}

// The controller with channel 0 on line 1 and the rest as lineArguments gives them, reading
// the box through a link in a temporary folder of its own.
class Controller {
 public:
  explicit Controller(const std::string& lineArguments) {
    char folder[] = "/tmp/knobvane-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
      perror("mkdtemp");
      exit(2);
    }
    folder_ = folder;
    port_ = folder_ + "/box";
    box = new Box(port_);
    commandLine_ = "knobvane " + port_ + " " + lineArguments;
  }

  ~Controller() {
    Stop();
    for (SoundLine& line : channelSoundLines) line.Close();
    delete box;
    unlink(port_.c_str());
    rmdir(folder_.c_str());
  }

  void Start() {
    stopping = false;
    connectPause = BenchPause;
    thread_ = std::thread([this] {
      ArgumentList arguments(commandLine_.c_str());
      RunKnobvane(arguments);
    });
  }

  void Stop() {
    if (!thread_.joinable()) return;
    stopping = true;
    box->Unplug();
    thread_.join();
  }

  Box* box;

 private:
  std::string folder_;
  std::string port_;
  std::string commandLine_;
  std::thread thread_;
};

// Sleeps until the monotonic clock reaches atNs.
inline void SleepUntil(int64_t atNs) {
  timespec at;
  at.tv_sec = atNs / 1000000000;
  at.tv_nsec = atNs % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
  }
}

}  // namespace rig

#endif  // KNOBVANE_BENCH_CONTROLLER_RIG_H
