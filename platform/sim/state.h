// What the simulated mixer holds, shared by its winmm face (mixer.cpp) and its test API
// (sim_mixer.cpp): the devices installed, the open handles, the log of calls and the failures
// planted. Every entry point of either holds a Guard.
#ifndef KNOBVANE_PLATFORM_SIM_STATE_H
#define KNOBVANE_PLATFORM_SIM_STATE_H

#include <map>
#include <vector>
#ifndef _WIN32
#include <mutex>
#endif

#include "platform/sim/sim_mixer.h"

namespace sim {

// Open handles count up from here, far above any device index, so a handle passed where
// an index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x4B560000;
constexpr size_t MAX_DEVICES = 0x10000;

struct Failure {
  Call call;
  int nth;
  MMRESULT code;
};

struct State {
  std::vector<Device> devices;
  std::map<UINT_PTR, int> handles;  // open handle -> device
  UINT_PTR nextHandle = FIRST_HANDLE;
  std::vector<CallRecord> calls;
  std::vector<Failure> failures;
  std::map<Call, int> callCounts;
  void (*observer)(const CallRecord&) = nullptr;
};

inline State& TheMixer() {
  static State state;
  return state;
}

// Tests drive the mixer from the controller's thread and read it from their own, so every
// entry point holds the lock. The stand-in winmm.dll serves a one-thread program and needs
// none (nor has std::mutex in every Windows toolchain).
#ifdef _WIN32
struct Guard {
  Guard() {}  // not trivial, so a guard is never an unused variable
};
#else
struct Guard {
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  std::lock_guard<std::mutex> lock{Mutex()};
};
#endif

// The line with that ID on the device, a destination or a source; null when none.
Line* FindLine(int device, DWORD lineID);

}  // namespace sim

#endif  // KNOBVANE_PLATFORM_SIM_STATE_H
