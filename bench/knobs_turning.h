// What a user pays while turning knobs: the box's firmware in box-sim --realtime rests for 5 s,
// then turns one knob, then all six, for 10 s each, the real knobvane sets a null output per knob,
// and the CPU time of knobvane and of every process of the sound server is taken from /proc before
// and after, as a share of one core and per line the box sent.
#ifndef KNOBVANE_BENCH_KNOBS_TURNING_H
#define KNOBVANE_BENCH_KNOBS_TURNING_H

#include <string>
#include <vector>

#include "bench/knob_to_speaker.h"
#include "tests/support/sound_server.h"

namespace bench {

// CPU seconds of every process of the server.
double ServerCpuSeconds(const support::SoundServer& server);

// The null outputs the server needs besides "knobs", one for each knob after the first.
std::vector<std::string> TurningOutputs();

// Runs the three and prints their figures, named setup.figures + "_rest_...", "_one_..." and
// "_six_...";
// nullptr, or what failed before any figure. Everything it starts is stopped by PID before it
// returns.
const char* KnobsTurning(const support::SoundServer& server, const SpeakerSetup& setup);

}  // namespace bench

#endif  // KNOBVANE_BENCH_KNOBS_TURNING_H
