// The values kept per line: a device's for its return, the default lines' for a default to
// come, an application's for its later streams; and, for the default lines, the device a caller
// last read one from, so a write keeps the balance of what the caller saw.
#include "platform/pulse/kept.h"

#include "platform/pulse/volumes.h"

namespace pulse {
namespace {

// A session manager may set a stream's or device's volume from its own memory just after it
// appears (WirePlumber does). For this long the value written to its line wins.
constexpr int64_t STARTING_TIME_NS = 1000000000;

}  // namespace

void Kept::Keep(DeviceName device, const DeviceWrite& write) {
  const auto found = devices_.find(device);
  if (found != devices_.end()) {
    found->second = write;
  } else {
    devices_.emplace(DeviceKey{device.isSink, std::string(device.name)}, write);
  }
}

// `landedNs`: when a value that waited for a default reaches one; for a second it wins over
// what a session manager sets the new device to, as a device's own waiting write does.
void Kept::WriteDefault(const Locked& locked, bool isSink, const pa_cvolume& volume,
                        int64_t landedNs) {
  const Device* target = cache_.DefaultOf(isSink);
  if (target == nullptr) {
    defaults_[isSink] = DeviceWrite{volume, Stereo(), true};
    return;
  }
  // A caller keeps a line's balance from what it read: if the default changed in between, the
  // value carries the old default's balance, and the new one keeps its own.
  const pa_cvolume current = writes_.Seen(*target, nullptr);
  pa_cvolume value = volume;
  std::string& shown = defaultShown_[isSink];
  if (!shown.empty() && shown != target->name) {
    value = Remapped(current, target->map, FullVolume(2), Stereo());
    pa_cvolume_scale(&value, pa_cvolume_max(&volume));
  }
  shown = target->name;
  const pa_cvolume mapped = Remapped(value, Stereo(), current, target->map);
  Keep(NameOf(*target), DeviceWrite{mapped, target->map, false, landedNs});
  // What the line reads once there is no default again: the last value written to it.
  defaults_[isSink] = DeviceWrite{value, Stereo(), false};
  writes_.Hand(locked, cache_, NameOf(*target), PA_INVALID_INDEX, mapped);
}

void Kept::WriteDefault(const Locked& locked, bool isSink, const pa_cvolume& volume) {
  WriteDefault(locked, isSink, volume, INT64_MIN / 2);
}

void Kept::WriteDevice(const Locked& locked, const Device& device, const pa_cvolume& volume) {
  const bool there = device.index != PA_INVALID_INDEX;
  const pa_cvolume current = there ? writes_.Seen(device, nullptr) : device.volume;
  // Two channels from a line opened while the device was away (AsChannels).
  const pa_cvolume onDevice = volume.channels == current.channels
                                  ? volume
                                  : Remapped(volume, Stereo(), current, device.map);
  Keep(NameOf(device), DeviceWrite{onDevice, device.map, !there});
  if (there) writes_.Hand(locked, cache_, NameOf(device), PA_INVALID_INDEX, onDevice);
}

void Kept::WriteApplication(const Locked& locked, std::string_view name, const pa_cvolume& volume) {
  const auto found = applications_.find(name);
  if (found != applications_.end()) {
    found->second = volume;
  } else {
    applications_.emplace(std::string(name), volume);
  }
  cache_.ForEachStreamOf(name, [&](const Stream& stream) {
    writes_.Hand(locked, cache_, DeviceName{false, {}}, stream.index,
                 OnChannels(volume, stream.volume.channels));
  });
}

void Kept::DefaultShown(bool isSink) {
  const Device* target = cache_.DefaultOf(isSink);
  if (target != nullptr) {
    defaultShown_[isSink] = target->name;
  } else {
    defaultShown_[isSink].clear();
  }
}

bool Kept::KeptForDevice(DeviceName device, pa_cvolume* volume, pa_channel_map* map) const {
  const auto written = devices_.find(device);
  if (written == devices_.end()) return false;
  *volume = written->second.volume;
  *map = written->second.map;
  return true;
}

pa_cvolume Kept::KeptForDefault(bool isSink) const {
  const DeviceWrite& written = defaults_[isSink];
  return written.volume.channels != 0 ? written.volume : FullVolume(2);
}

bool Kept::KeptForApplication(std::string_view name, pa_cvolume* volume) const {
  const auto written = applications_.find(name);
  if (written == applications_.end()) return false;
  *volume = written->second;
  return true;
}

void Kept::DeviceStored(const Locked& locked, const Device& device, int64_t nowNs) {
  const auto found = devices_.find(NameOf(device));
  if (found == devices_.end()) return;
  DeviceWrite& written = found->second;
  if (written.waiting) {
    written.waiting = false;
    written.volume = Remapped(written.volume, written.map, device.volume, device.map);
    written.map = device.map;
    written.landedNs = nowNs;
    writes_.Hand(locked, cache_, NameOf(device), PA_INVALID_INDEX, written.volume);
  } else if (nowNs - written.landedNs < STARTING_TIME_NS &&
             !pa_cvolume_equal(&written.volume, &device.volume)) {
    // A session manager setting what it remembers of the device (WirePlumber does).
    writes_.Hand(locked, cache_, NameOf(device), PA_INVALID_INDEX, written.volume);
  }
}

void Kept::DefaultsStored(const Locked& locked, int64_t nowNs) {
  for (const bool isSink : {false, true}) {
    DeviceWrite& written = defaults_[isSink];
    if (!written.waiting || cache_.DefaultOf(isSink) == nullptr) continue;
    written.waiting = false;
    WriteDefault(locked, isSink, written.volume, nowNs);
  }
}

void Kept::StreamStored(const Locked& locked, const Stream& stream, int64_t nowNs) {
  const auto written = applications_.find(stream.application);
  if (written == applications_.end() || nowNs - stream.appearedNs > STARTING_TIME_NS) return;
  const pa_cvolume volume = OnChannels(written->second, stream.volume.channels);
  if (!pa_cvolume_equal(&volume, &stream.volume)) {
    writes_.Hand(locked, cache_, DeviceName{false, {}}, stream.index, volume);
  }
}

void Kept::KeepForReturn(DeviceName device) {
  const auto written = devices_.find(device);
  if (written != devices_.end()) written->second.waiting = true;
}

}  // namespace pulse
