// The PulseAudio stand-in for the Windows mixer functions: what it offers beyond those
// functions, for the Linux entry point.
#pragma once

#include <pulse/volume.h>

#include <chrono>
#include <cstdint>

namespace pulse {

// A value of the mixer's volume scale 0..65535 in PulseAudio's units: the scale's maximum is
// exactly PulseAudio's 100 %, so a full knob never boosts.
constexpr pa_volume_t ToPulse(uint32_t value) { return value >= 65535 ? PA_VOLUME_NORM : value; }

// Waits until every write on its way or waiting has been answered by the server, the server
// is gone, or the deadline has passed; for a process about to end without the exit-time
// cleanup. Callable from any thread while no mixer call is running.
void LetWritesLand(std::chrono::steady_clock::time_point deadline);

}  // namespace pulse
