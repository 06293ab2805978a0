// The values kept per line: a device's for its return, the default lines' for a default to
// come, an application's for its later streams; and, for the default lines, the device a caller
// last read one from, so a write keeps the balance of what the caller saw.
#include "platform/pulse/kept.h"

#include <map>
#include <mutex>

#include "platform/pulse/cache.h"
#include "platform/pulse/lines.h"
#include "platform/pulse/volumes.h"
#include "platform/pulse/writes.h"

namespace pulse {
namespace {

// A session manager may set a stream's or device's volume from its own memory just after it
// appears (WirePlumber does). For this long the value written to its line wins.
constexpr pa_usec_t STARTING_TIME = 1 * PA_USEC_PER_SEC;

// The last value written to a device's line, in the channels it was written on, and whether it
// is still to reach the device: one written while the device was away, or while there was no
// default, lands when the device (or a default) comes, and wins over what a session manager
// restores just after.
struct DeviceWrite {
  pa_cvolume volume;
  pa_channel_map map;
  bool waiting;
  pa_usec_t landedAt = 0;  // when a waiting one went to the device come back
};

struct Kept {
  std::mutex lock;                             // guards the rest
  std::map<std::string, DeviceWrite> devices;  // by the devices list's id
  DeviceWrite defaults[2] = {};                // to the default input, output
  std::string defaultShown[2];                 // the device each default line was last read from
  std::map<std::string, pa_cvolume> applications;  // by the application's name
};

// Never destroyed, as the cache is: the connection forgets the server at exit.
Kept& TheKept() {
  static Kept* kept = new Kept;
  return *kept;
}

// `landedAt`: when a value that waited for a default reaches one; for a second it wins over what
// a session manager sets the new device to, as a device's own waiting write does.
void WriteDefault(bool isSink, const pa_cvolume& volume, pa_usec_t landedAt = 0) {
  Kept& k = TheKept();
  const Device* target = DefaultOf(isSink);
  if (target == nullptr) {
    k.defaults[isSink] = DeviceWrite{volume, Stereo(), true};
    return;
  }
  // A caller keeps a line's balance from what it read: if the default changed in between, the
  // value carries the old default's balance, and the new one keeps its own.
  const pa_cvolume current = Seen(*target, nullptr);
  pa_cvolume value = volume;
  std::string& shown = k.defaultShown[isSink];
  if (!shown.empty() && shown != target->name) {
    value = Remapped(current, target->map, FullVolume(2), Stereo());
    pa_cvolume_scale(&value, pa_cvolume_max(&volume));
  }
  shown = target->name;
  const pa_cvolume mapped = Remapped(value, Stereo(), current, target->map);
  k.devices[DeviceID(target->isSink, target->name)] =
      DeviceWrite{mapped, target->map, false, landedAt};
  // What the line reads once there is no default again: the last value written to it.
  k.defaults[isSink] = DeviceWrite{value, Stereo(), false};
  Hand(KeyOf(*target), PA_INVALID_INDEX, mapped);
}

void WriteDevice(const Device& device, const pa_cvolume& volume) {
  const bool there = device.index != PA_INVALID_INDEX;
  const pa_cvolume current = there ? Seen(device, nullptr) : device.volume;
  // Two channels from a line opened while the device was away (AsChannels).
  const pa_cvolume onDevice = volume.channels == current.channels
                                  ? volume
                                  : Remapped(volume, Stereo(), current, device.map);
  TheKept().devices[DeviceID(device.isSink, device.name)] =
      DeviceWrite{onDevice, device.map, !there};
  if (there) Hand(KeyOf(device), PA_INVALID_INDEX, onDevice);
}

void WriteApplication(const std::string& name, const pa_cvolume& volume) {
  TheKept().applications[name] = volume;
  for (const Stream* stream : StreamsOf(name)) {
    Hand(DeviceKey{}, stream->index, OnChannels(volume, stream->volume.channels));
  }
}

}  // namespace

void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  switch (device.kind) {
    case Kind::SERVER:
      WriteDevice(device, volume);
      return;
    case Kind::DEFAULT:
      WriteDefault(device.isSink, volume);
      return;
    case Kind::APPLICATIONS:
      WriteApplication(LineName(device, destination), volume);
      return;
  }
}

void LineShown(const Device& device) {
  if (device.kind != Kind::DEFAULT) return;
  const Device* target = DefaultOf(device.isSink);
  std::lock_guard<std::mutex> kept(TheKept().lock);
  TheKept().defaultShown[device.isSink] = target != nullptr ? target->name : "";
}

bool KeptForDevice(const std::string& id, pa_cvolume* volume, pa_channel_map* map) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const auto written = TheKept().devices.find(id);
  if (written == TheKept().devices.end()) return false;
  *volume = written->second.volume;
  *map = written->second.map;
  return true;
}

pa_cvolume KeptForDefault(bool isSink) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const DeviceWrite& written = TheKept().defaults[isSink];
  return written.volume.channels != 0 ? written.volume : FullVolume(2);
}

bool KeptForApplication(const std::string& name, pa_cvolume* volume) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const auto written = TheKept().applications.find(name);
  if (written == TheKept().applications.end()) return false;
  *volume = written->second;
  return true;
}

void DeviceStored(const Device& device) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const auto found = TheKept().devices.find(DeviceID(device.isSink, device.name));
  if (found == TheKept().devices.end()) return;
  DeviceWrite& written = found->second;
  const pa_usec_t now = pa_rtclock_now();
  if (written.waiting) {
    written.waiting = false;
    written.volume = Remapped(written.volume, written.map, device.volume, device.map);
    written.map = device.map;
    written.landedAt = now;
    Hand(KeyOf(device), PA_INVALID_INDEX, written.volume);
  } else if (now - written.landedAt < STARTING_TIME &&
             !pa_cvolume_equal(&written.volume, &device.volume)) {
    // A session manager setting what it remembers of the device (WirePlumber does).
    Hand(KeyOf(device), PA_INVALID_INDEX, written.volume);
  }
}

void DefaultsStored() {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  for (const bool isSink : {false, true}) {
    DeviceWrite& written = TheKept().defaults[isSink];
    if (!written.waiting || DefaultOf(isSink) == nullptr) continue;
    written.waiting = false;
    WriteDefault(isSink, written.volume, pa_rtclock_now());
  }
}

void StreamStored(const Stream& stream, pa_usec_t now) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const auto written = TheKept().applications.find(stream.application);
  if (written == TheKept().applications.end() || now - stream.appeared > STARTING_TIME) return;
  const pa_cvolume volume = OnChannels(written->second, stream.volume.channels);
  if (!pa_cvolume_equal(&volume, &stream.volume)) Hand(DeviceKey{}, stream.index, volume);
}

void KeepForReturn(const DeviceKey& device) {
  std::lock_guard<std::mutex> kept(TheKept().lock);
  const auto written = TheKept().devices.find(DeviceID(device.isSink, device.name));
  if (written != TheKept().devices.end()) written->second.waiting = true;
}

}  // namespace pulse
