// The knob-to-speaker time: the box's firmware in box-sim --realtime, the real knobvane on its
// port, a private sound server; from the moment a knob steps until the observer sees the
// output's new volume, over random steps.
#ifndef KNOBVANE_BENCH_KNOB_TO_SPEAKER_H
#define KNOBVANE_BENCH_KNOB_TO_SPEAKER_H

#include <string>

#include "bench/pulse_observer.h"

namespace bench {

// A volume this close to where the knob is counts as the knob's: the firmware's deadband,
// which also keeps 2 counts of noise from being sent.
constexpr int ARRIVED_COUNTS = 2;

struct SpeakerSetup {
  std::string knobvane;         // the program
  std::string boxSim;           // the program
  std::string firmware;         // the image box-sim runs
  std::string folder;           // for the port, box-sim's commands and the logs
  std::string figures = "box";  // what the figures' names begin with
};

// Runs the steps and prints their box_* figures; nullptr, or what failed before any figure.
// Everything it starts is stopped by PID before it returns.
const char* KnobToSpeaker(PulseObserver& observer, const SpeakerSetup& setup);

}  // namespace bench

#endif  // KNOBVANE_BENCH_KNOB_TO_SPEAKER_H
