// Volumes carried between channel maps: a line shows every device on two channels, front left
// and right, and a value written to it goes onto whatever channels the device has, keeping
// the left/right balance with libpulse's volume functions.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>

#include "platform/win32.h"

namespace pulse {

// Front left and right: the channels every line that is no device's own shows.
const pa_channel_map& Stereo();

pa_cvolume FullVolume(uint8_t channels);

// A line's value for a stream of other channels: the same per channel where the counts
// match, else the loudest on every channel.
pa_cvolume OnChannels(const pa_cvolume& volume, uint8_t channels);

// A value on one channel map carried onto another: the loudest channel and the left/right
// balance go over, and the other channels of `onto` keep what they had to each other (a
// surround output's rear to its front, say). Carried back and forth with its balance unchanged,
// a value is only scaled, so it keeps its proportions exactly.
pa_cvolume Remapped(const pa_cvolume& volume, const pa_channel_map& from, pa_cvolume onto,
                    const pa_channel_map& to);

// A device's volume as a line of `channels` shows it: a line opened while its device was away
// has two channels, and the device, back, may have others (a mono microphone, a surround card).
pa_cvolume AsChannels(const pa_cvolume& volume, const pa_channel_map& map, DWORD channels);

}  // namespace pulse
