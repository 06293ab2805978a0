// The line model: devices in mixer order, each with its destination lines and their fixed line
// IDs; the default lines following the server's defaults, on two channels mapped onto the
// default's own; a listed device that is away standing in for itself with what was last written
// to it; an application's line standing for every stream of the application.
#include "platform/pulse/lines.h"

#include "platform/pulse/volumes.h"

namespace pulse {
namespace {

constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
// An application's line ID is this plus its place in the list.
constexpr DWORD FIRST_APPLICATION_LINE_ID = 0x00010000u;

const std::string MASTER_VOLUME = "Master Volume";

Device Standing(bool isSink, const char* description, Kind kind) {
  Device device{isSink, PA_INVALID_INDEX, "", description, {}, Stereo(), kind};
  pa_cvolume_set(&device.volume, 2, PA_VOLUME_NORM);
  return device;
}

const Device DEFAULT_OUTPUT = Standing(true, "Default Output", Kind::DEFAULT);
const Device DEFAULT_INPUT = Standing(false, "Default Input", Kind::DEFAULT);
const Device APPLICATIONS = Standing(false, "Applications", Kind::APPLICATIONS);

// The device a devices list's id names; one of no name (a damaged id) names none.
DeviceName NameOfListed(std::string_view id) {
  for (const bool isSink : {true, false}) {
    const std::string_view prefix = isSink ? "sink:" : "source:";
    if (id.substr(0, prefix.size()) == prefix) return DeviceName{isSink, id.substr(prefix.size())};
  }
  return DeviceName{false, {}};
}

}  // namespace

// A listed device that is away, with what was last written to it, else full volume on the
// channels it had, so that a line opened while it was there still fits.
const Device* Lines::StandIn(const Remembered& listed, Device* standIn) const {
  const DeviceName name = NameOfListed(listed.id);
  Device& device = *standIn = Standing(name.isSink, "", Kind::SERVER);
  device.name = name.name;
  device.description = listed.name;
  if (kept_.KeptForDevice(name, &device.volume, &device.map)) return &device;
  if (const pa_channel_map* seen = cache_.SeenMap(listed.id)) {
    device.map = *seen;
    pa_cvolume_set(&device.volume, device.map.channels, PA_VOLUME_NORM);
  }
  return &device;
}

size_t Lines::DeviceCount() const { return cache_.ListedDevices().size() + 3; }

const Device* Lines::DeviceAt(size_t place, Device* standIn) const {
  const std::vector<Remembered>& listed = cache_.ListedDevices();
  if (place == 0) return &DEFAULT_OUTPUT;
  if (place == 1) return &DEFAULT_INPUT;
  if (place - 2 < listed.size()) {
    const Device* there = cache_.Find(NameOfListed(listed[place - 2].id));
    return there != nullptr ? there : StandIn(listed[place - 2], standIn);
  }
  return place - 2 == listed.size() ? &APPLICATIONS : nullptr;
}

const Device* Lines::FindDevice(const DeviceKey& key, Device* standIn) const {
  switch (key.kind) {
    case Kind::APPLICATIONS:
      return &APPLICATIONS;
    case Kind::DEFAULT:
      return key.isSink ? &DEFAULT_OUTPUT : &DEFAULT_INPUT;
    case Kind::SERVER:
      break;
  }
  if (const Device* there = cache_.Find(NameOf(key))) return there;
  for (const Remembered& listed : cache_.ListedDevices()) {
    const DeviceName name = NameOfListed(listed.id);
    if (name.isSink == key.isSink && name.name == key.name) return StandIn(listed, standIn);
  }
  return nullptr;
}

DWORD Lines::Destinations(const Device& device) const {
  return device.kind == Kind::APPLICATIONS ? static_cast<DWORD>(cache_.ListedApplications().size())
                                           : 1;
}

bool Lines::FindLine(const Device& device, DWORD lineID, DWORD* destination) const {
  *destination = 0;
  if (device.kind != Kind::APPLICATIONS) return lineID == MASTER_LINE_ID;
  if (lineID < FIRST_APPLICATION_LINE_ID) return false;
  *destination = lineID - FIRST_APPLICATION_LINE_ID;
  return *destination < Destinations(device);
}

DWORD Lines::LineID(const Device& device, DWORD destination) const {
  return device.kind == Kind::APPLICATIONS ? FIRST_APPLICATION_LINE_ID + destination
                                           : MASTER_LINE_ID;
}

const std::string& Lines::LineName(const Device& device, DWORD destination) const {
  return device.kind == Kind::APPLICATIONS ? cache_.ListedApplications()[destination].name
                                           : MASTER_VOLUME;
}

// An application's line can be read and set before anything of it plays.
pa_cvolume Lines::LineVolume(const Device& device, DWORD destination, DWORD channels) const {
  switch (device.kind) {
    case Kind::SERVER:
      // A device that is away shows what was last written to it (its stand-in has it).
      return AsChannels(
          device.index != PA_INVALID_INDEX ? writes_.Seen(device, nullptr) : device.volume,
          device.map, channels);
    case Kind::DEFAULT:
      if (const Device* target = cache_.DefaultOf(device.isSink)) {
        return Remapped(writes_.Seen(*target, nullptr), target->map, FullVolume(2), Stereo());
      }
      return kept_.KeptForDefault(device.isSink);
    case Kind::APPLICATIONS:
      break;
  }
  const std::string& name = LineName(device, destination);
  if (const Stream* stream = cache_.FirstStreamOf(name)) return writes_.Seen(device, stream);
  pa_cvolume written;
  return kept_.KeptForApplication(name, &written) ? written : FullVolume(2);
}

// Carried onto two channels (AsChannels, Remapped), a valid value has two; one that is not
// valid stays as it was, and so does every value not carried.
uint8_t Lines::LineChannels(const Device& device, DWORD destination, DWORD channels) const {
  switch (device.kind) {
    case Kind::SERVER: {
      const pa_cvolume volume =
          device.index != PA_INVALID_INDEX ? writes_.Seen(device, nullptr) : device.volume;
      return channels == 2 && pa_cvolume_valid(&volume) ? 2 : volume.channels;
    }
    case Kind::DEFAULT:
      if (const Device* target = cache_.DefaultOf(device.isSink)) {
        const pa_cvolume volume = writes_.Seen(*target, nullptr);
        return pa_cvolume_valid(&volume) ? 2 : volume.channels;
      }
      return kept_.KeptForDefault(device.isSink).channels;
    case Kind::APPLICATIONS:
      break;
  }
  return LineVolume(device, destination).channels;
}

}  // namespace pulse
