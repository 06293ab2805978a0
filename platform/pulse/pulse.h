// The PulseAudio stand-in for the Windows mixer functions: what it offers beyond those
// functions, for the Linux entry point.
#pragma once

#include <pulse/volume.h>

#include <cstdint>

#include "platform/posix/clock.h"
#include "platform/volume_scale.h"

namespace pulse {

// The mixer's volume controls run over the whole volume scale, 0..VOLUME_MAXIMUM.
constexpr uint32_t VOLUME_MAXIMUM = VOLUME_SCALE_TOP;

// A value of the mixer's volume scale in PulseAudio's units: the scale's maximum is exactly
// PulseAudio's 100 %, so a full knob never boosts.
constexpr pa_volume_t ToPulse(uint32_t value) {
  return value >= VOLUME_MAXIMUM ? PA_VOLUME_NORM : value;
}

// PulseAudio's 100 % (65536) and anything louder is the scale's maximum.
constexpr uint32_t ToMixer(pa_volume_t volume) {
  return volume >= PA_VOLUME_NORM ? VOLUME_MAXIMUM : volume;
}

// Waits until every write on its way or waiting has been answered by the server, the server
// is gone, or the deadline has passed; for a process about to end without the exit-time
// cleanup. Callable from any thread while no mixer call is running.
void LetWritesLand(posix::Clock::time_point deadline);

// Whether a sound server answers now: connects when there is no connection (never starting a
// server), waiting no longer than the server's answer takes; costs nothing while connected.
// For the controller, which waits for the server and tells when it goes and comes back.
bool ServerThere();

}  // namespace pulse
