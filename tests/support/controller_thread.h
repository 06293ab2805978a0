// The controller's real loop in-process, for its tests and the benchmarks: RunKnobvane on a
// thread of its own, reading a Box through the POSIX serial layer and driving the mixer the
// program links (the simulated one). Only the pause after each connection attempt is
// replaced: a hang-up is followed by the next attempt at once instead of 2 s later, and Stop
// ends the loop at its next attempt.
#ifndef KNOBVANE_TESTS_SUPPORT_CONTROLLER_THREAD_H
#define KNOBVANE_TESTS_SUPPORT_CONTROLLER_THREAD_H

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "controller/knobvane.h"
#include "tests/support/pty_box.h"

namespace support {

// Connection attempts so far; the loop ends at the first one after `stopping` is set.
inline std::atomic<bool> stopping{false};
inline std::atomic<int64_t> attempts{0};
// How often a missing port is retried, rather than in a tight loop.
inline std::chrono::nanoseconds retryPause = std::chrono::milliseconds(1);
// Called with every pause the controller asks for, for a test to check it.
inline void (*pauseAsked)(DWORD milliseconds) = nullptr;

inline bool QuickPause(DWORD milliseconds) {
  if (pauseAsked != nullptr) pauseAsked(milliseconds);
  ++attempts;
  if (stopping) return false;
  std::this_thread::sleep_for(retryPause);
  return true;
}

// "knobvane PORT lineArguments", PORT a link in a temporary folder where `box` plugs in.
class ControllerThread {
 public:
  ~ControllerThread() {
    Stop();
    for (SoundLine& line : channelSoundLines) line.Close();
    box.Unplug();
    rmdir(folder_.c_str());
  }

  void Start(const std::string& lineArguments) {
    stopping = false;
    attempts = 0;
    connectPause = QuickPause;
    commandLine_ = "knobvane " + std::string(box.Path()) + " " + lineArguments;
    thread_ =
        std::thread([this] { exitStatus_ = RunKnobvane(ArgumentList(commandLine_.c_str())); });
  }

  // Ends the loop; unplugging the box ends the read in progress.
  void Stop() {
    if (!thread_.joinable()) return;
    stopping = true;
    box.Unplug();
    thread_.join();
  }

  // What RunKnobvane returned, -1 before it did.
  int ExitStatus() const { return exitStatus_; }

 private:
  static std::string TemporaryFolder() {
    char folder[] = "/tmp/knobvane-controller-XXXXXX";
    if (mkdtemp(folder) == nullptr) abort();
    return folder;
  }
  const std::string folder_ = TemporaryFolder();

 public:
  Box box{folder_ + "/box"};

 private:
  std::string commandLine_;
  std::thread thread_;
  std::atomic<int> exitStatus_{-1};
};

}  // namespace support

#endif  // KNOBVANE_TESTS_SUPPORT_CONTROLLER_THREAD_H
