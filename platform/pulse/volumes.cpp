// Volumes carried between channel maps, with libpulse's balance functions.
#include "platform/pulse/volumes.h"

#include <cmath>

namespace pulse {
namespace {

// Balances closer than this are one: the controller reads a default line before each write,
// and carrying a balance through two channel maps and back must not wear it away.
constexpr float SAME_BALANCE = 0.001f;

float Balance(const pa_cvolume& volume, const pa_channel_map& map) {
  return pa_channel_map_valid(&map) && pa_cvolume_compatible_with_channel_map(&volume, &map) &&
                 pa_channel_map_can_balance(&map)
             ? pa_cvolume_get_balance(&volume, &map)
             : 0.0f;
}

}  // namespace

const pa_channel_map& Stereo() {
  static pa_channel_map stereo;
  static const bool made = pa_channel_map_init_stereo(&stereo) != nullptr;
  (void)made;
  return stereo;
}

pa_cvolume FullVolume(uint8_t channels) {
  pa_cvolume volume;
  pa_cvolume_set(&volume, channels, PA_VOLUME_NORM);
  return volume;
}

pa_cvolume OnChannels(const pa_cvolume& volume, uint8_t channels) {
  if (volume.channels == channels) return volume;
  pa_cvolume mapped;
  pa_cvolume_set(&mapped, channels, pa_cvolume_max(&volume));
  return mapped;
}

pa_cvolume Remapped(const pa_cvolume& volume, const pa_channel_map& from, pa_cvolume onto,
                    const pa_channel_map& to) {
  // Nothing to carry it onto: the server then refuses the write, as it should.
  if (!pa_channel_map_valid(&to) || !pa_cvolume_valid(&volume)) return volume;
  if (pa_channel_map_equal(&from, &to) && volume.channels == to.channels) return volume;
  if (!pa_cvolume_compatible_with_channel_map(&onto, &to)) {
    pa_cvolume_set(&onto, to.channels, PA_VOLUME_NORM);
  }
  const float balance = Balance(volume, from);
  pa_cvolume_scale(&onto, pa_cvolume_max(&volume));
  if (pa_channel_map_can_balance(&to) && std::fabs(Balance(onto, to) - balance) > SAME_BALANCE) {
    pa_cvolume_set_balance(&onto, &to, balance);
  }
  return onto;
}

pa_cvolume AsChannels(const pa_cvolume& volume, const pa_channel_map& map, DWORD channels) {
  if (channels != 2 || volume.channels == 2) return volume;
  return Remapped(volume, map, FullVolume(2), Stereo());
}

}  // namespace pulse
