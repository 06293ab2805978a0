// The line model: devices in mixer order, each with its destination lines and their fixed line
// IDs, an application's line standing for every stream of the application, and the value
// written to an application's line remembered for the streams it starts later.
#include "platform/pulse/lines.h"

#include "platform/pulse/writes.h"

namespace pulse {
namespace {

constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
// An application's line ID is this plus its place in the list.
constexpr DWORD FIRST_APPLICATION_LINE_ID = 0x00010000u;

// A session manager may set a stream's volume from its own memory just after the stream
// appears (WirePlumber does). For this long the value written to its application wins.
constexpr pa_usec_t STARTING_TIME = 1 * PA_USEC_PER_SEC;

const Device APPLICATIONS{false, PA_INVALID_INDEX, "", "Applications", {}, true};
const std::string MASTER_VOLUME = "Master Volume";

// An application's streams now playing, in index order.
std::vector<const Stream*> StreamsOf(const std::string& application) {
  std::vector<const Stream*> streams;
  for (const auto& entry : TheState().streams) {
    if (entry.second.application == application) streams.push_back(&entry.second);
  }
  return streams;
}

pa_cvolume FullVolume(uint8_t channels) {
  pa_cvolume volume;
  pa_cvolume_set(&volume, channels, PA_VOLUME_NORM);
  return volume;
}

// A line's value for a stream of other channels: the same per channel where the counts
// match, else the loudest on every channel.
pa_cvolume OnChannels(const pa_cvolume& volume, uint8_t channels) {
  if (volume.channels == channels) return volume;
  pa_cvolume mapped;
  pa_cvolume_set(&mapped, channels, pa_cvolume_max(&volume));
  return mapped;
}

}  // namespace

std::vector<const Device*> Devices() {
  std::vector<const Device*> devices;
  for (const auto& sink : TheState().sinks) devices.push_back(&sink.second);
  for (const auto& source : TheState().sources) devices.push_back(&source.second);
  devices.push_back(&APPLICATIONS);
  return devices;
}

const Device* FindDevice(const DeviceKey& key) {
  return key.isApplications ? &APPLICATIONS : ServerDevice(key);
}

DWORD Destinations(const Device& device) {
  return device.isApplications ? static_cast<DWORD>(TheState().applications.All().size()) : 1;
}

bool FindLine(const Device& device, DWORD lineID, DWORD* destination) {
  *destination = 0;
  if (!device.isApplications) return lineID == MASTER_LINE_ID;
  if (lineID < FIRST_APPLICATION_LINE_ID) return false;
  *destination = lineID - FIRST_APPLICATION_LINE_ID;
  return *destination < Destinations(device);
}

DWORD LineID(const Device& device, DWORD destination) {
  return device.isApplications ? FIRST_APPLICATION_LINE_ID + destination : MASTER_LINE_ID;
}

const std::string& LineName(const Device& device, DWORD destination) {
  return device.isApplications ? TheState().applications.All()[destination].name : MASTER_VOLUME;
}

// An application's line can be read and set before anything of it plays.
pa_cvolume LineVolume(const Device& device, DWORD destination) {
  if (!device.isApplications) return Seen(device, nullptr);
  const std::string& id = TheState().applications.All()[destination].id;
  const std::vector<const Stream*> streams = StreamsOf(id);
  if (!streams.empty()) return Seen(device, streams.front());
  const auto written = TheState().written.find(id);
  return written != TheState().written.end() ? written->second : FullVolume(2);
}

void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume) {
  if (!device.isApplications) {
    WriteControl(KeyOf(device), PA_INVALID_INDEX, volume);
    return;
  }
  const std::string& id = TheState().applications.All()[destination].id;
  TheState().written[id] = volume;
  for (const Stream* stream : StreamsOf(id)) {
    WriteStream(stream->index, OnChannels(volume, stream->volume.channels));
  }
}

std::string ApplicationOf(const std::string& id, const std::string& name) {
  // The stream must go by the listed id, or its line would never find it.
  const int place = TheState().applications.Remember(id, name);
  return place >= 0 ? TheState().applications.All()[place].id : id;
}

void StreamStored(const Stream& stream, pa_usec_t now) {
  const auto written = TheState().written.find(stream.application);
  if (written == TheState().written.end() || now - stream.appeared > STARTING_TIME) return;
  const pa_cvolume volume = OnChannels(written->second, stream.volume.channels);
  if (!pa_cvolume_equal(&volume, &stream.volume)) WriteStream(stream.index, volume);
}

}  // namespace pulse
