// The line model: devices in mixer order, each with its destination lines and their fixed line
// IDs; the default lines following the server's defaults, on two channels mapped onto the
// default's own; a listed device that is away standing in for itself with what was last written
// to it; an application's line standing for every stream of the application.
#include "platform/pulse/lines.h"

#include <vector>

#include "platform/pulse/cache.h"
#include "platform/pulse/kept.h"
#include "platform/pulse/volumes.h"
#include "platform/pulse/writes.h"

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
DeviceKey KeyOfListed(const std::string& id) {
  for (const bool isSink : {true, false}) {
    const std::string prefix = DeviceID(isSink, "");
    if (id.compare(0, prefix.size(), prefix) == 0)
      return DeviceKey{isSink, id.substr(prefix.size())};
  }
  return DeviceKey{false, ""};
}

// A listed device that is away, with what was last written to it, else full volume on the
// channels it had, so that a line opened while it was there still fits.
const Device* StandIn(const Remembered& listed, Device* standIn) {
  const DeviceKey key = KeyOfListed(listed.id);
  Device& device = *standIn = Standing(key.isSink, "", Kind::SERVER);
  device.name = key.name;
  device.description = listed.name;
  if (KeptForDevice(listed.id, &device.volume, &device.map)) return &device;
  if (const pa_channel_map* seen = SeenMap(listed.id)) {
    device.map = *seen;
    pa_cvolume_set(&device.volume, device.map.channels, PA_VOLUME_NORM);
  }
  return &device;
}

}  // namespace

size_t DeviceCount() { return ListedDevices().size() + 3; }

const Device* DeviceAt(size_t place, Device* standIn) {
  const std::vector<Remembered>& listed = ListedDevices();
  if (place == 0) return &DEFAULT_OUTPUT;
  if (place == 1) return &DEFAULT_INPUT;
  if (place - 2 < listed.size()) {
    const Device* there = ServerDevice(KeyOfListed(listed[place - 2].id));
    return there != nullptr ? there : StandIn(listed[place - 2], standIn);
  }
  return place - 2 == listed.size() ? &APPLICATIONS : nullptr;
}

const Device* FindDevice(const DeviceKey& key, Device* standIn) {
  switch (key.kind) {
    case Kind::APPLICATIONS:
      return &APPLICATIONS;
    case Kind::DEFAULT:
      return key.isSink ? &DEFAULT_OUTPUT : &DEFAULT_INPUT;
    case Kind::SERVER:
      break;
  }
  if (const Device* there = ServerDevice(key)) return there;
  const std::string id = DeviceID(key.isSink, key.name);
  for (const Remembered& listed : ListedDevices()) {
    if (listed.id == id) return StandIn(listed, standIn);
  }
  return nullptr;
}

const Device* DefaultOf(bool isSink) {
  return ServerDevice(DeviceKey{isSink, DefaultName(isSink)});
}

DWORD Destinations(const Device& device) {
  return device.kind == Kind::APPLICATIONS ? static_cast<DWORD>(ListedApplications().size()) : 1;
}

bool FindLine(const Device& device, DWORD lineID, DWORD* destination) {
  *destination = 0;
  if (device.kind != Kind::APPLICATIONS) return lineID == MASTER_LINE_ID;
  if (lineID < FIRST_APPLICATION_LINE_ID) return false;
  *destination = lineID - FIRST_APPLICATION_LINE_ID;
  return *destination < Destinations(device);
}

DWORD LineID(const Device& device, DWORD destination) {
  return device.kind == Kind::APPLICATIONS ? FIRST_APPLICATION_LINE_ID + destination
                                           : MASTER_LINE_ID;
}

const std::string& LineName(const Device& device, DWORD destination) {
  return device.kind == Kind::APPLICATIONS ? ListedApplications()[destination].name : MASTER_VOLUME;
}

// An application's line can be read and set before anything of it plays.
pa_cvolume LineVolume(const Device& device, DWORD destination, DWORD channels) {
  switch (device.kind) {
    case Kind::SERVER:
      // A device that is away shows what was last written to it (its stand-in has it).
      return AsChannels(device.index != PA_INVALID_INDEX ? Seen(device, nullptr) : device.volume,
                        device.map, channels);
    case Kind::DEFAULT:
      if (const Device* target = DefaultOf(device.isSink)) {
        return Remapped(Seen(*target, nullptr), target->map, FullVolume(2), Stereo());
      }
      return KeptForDefault(device.isSink);
    case Kind::APPLICATIONS:
      break;
  }
  const std::string& name = LineName(device, destination);
  const std::vector<const Stream*> streams = StreamsOf(name);
  if (!streams.empty()) return Seen(device, streams.front());
  pa_cvolume written;
  return KeptForApplication(name, &written) ? written : FullVolume(2);
}

}  // namespace pulse
