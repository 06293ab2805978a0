// The volume scale the parts of Knobvane speak to each other: 0..VOLUME_SCALE_TOP, silence to
// full volume, the range of the Windows mixer's usual volume control. The controller puts a
// knob's level on it, SoundLine converts a control's own bounds to and from it, and the Linux
// mixer's controls run over it exactly. Here, below them all, so that it is written once.
#ifndef KNOBVANE_PLATFORM_VOLUME_SCALE_H
#define KNOBVANE_PLATFORM_VOLUME_SCALE_H

#include <cstdint>

constexpr uint32_t VOLUME_SCALE_TOP = 65535;

#endif  // KNOBVANE_PLATFORM_VOLUME_SCALE_H
