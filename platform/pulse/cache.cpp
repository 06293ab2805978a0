// The cache of the server's devices and streams: what the server tells is stored, and what it
// removed is forgotten.
#include "platform/pulse/cache.h"

namespace pulse {

Cache::Cache() = default;

const Device* Cache::Find(DeviceName name) const {
  if (name.name.empty()) return nullptr;
  for (const auto& entry : name.isSink ? sinks_ : sources_) {
    if (entry.second.name == name.name) return &entry.second;
  }
  return nullptr;
}

const Device* Cache::DefaultOf(bool isSink) const {
  return Find(DeviceName{isSink, isSink ? defaultSink_ : defaultSource_});
}

const Stream* Cache::FirstStreamOf(std::string_view application) const {
  for (const auto& entry : streams_) {
    if (entry.second.application == application) return &entry.second;
  }
  return nullptr;
}

const pa_channel_map* Cache::SeenMap(const std::string& id) const {
  const auto seen = seenMaps_.find(id);
  return seen != seenMaps_.end() ? &seen->second : nullptr;
}

// The stand-in output a server makes while it has none (PulseAudio's module-always-sink,
// PipeWire's pulse server: "auto_null") is no device of the user's: Default Output reaches it
// while it is there; listed, it would move the application lines on for nothing. A monitor is
// kept too, since it may be the server's default input, but it is no device of its own.
const Device& Cache::Store(Device device) {
  const std::string id = DeviceID(device.isSink, device.name);
  if (!device.isMonitor && device.name != "auto_null") devices_.Remember(id, device.description);
  if (pa_channel_map_valid(&device.map)) seenMaps_[id] = device.map;
  Device& stored = (device.isSink ? sinks_ : sources_)[device.index];
  stored = std::move(device);
  return stored;
}

void Cache::StoreDefaults(const char* sink, const char* source) {
  defaultSink_ = sink != nullptr ? sink : "";
  defaultSource_ = source != nullptr ? source : "";
}

// The stream must go by the listed name (the list may cut or clean a name for its file), or its
// line would never find it. Entries are told apart by name, so a list holding other ids for an
// application's name keeps its places.
const Stream* Cache::StoreStream(uint32_t index, const std::string& application,
                                 const pa_cvolume& volume, int64_t nowNs) {
  const int place = applications_.Remember("application-name:" + application, application);
  // A stream without a volume of its own has nothing to read or set, and libpulse aborts on
  // a volume of no channels: its application keeps its line, the stream stays out.
  if (!pa_cvolume_valid(&volume)) return nullptr;
  const std::string& listed = place >= 0 ? applications_.All()[place].name : application;
  const auto known = streams_.find(index);
  const int64_t appeared = known != streams_.end() ? known->second.appearedNs : nowNs;
  Stream& stored = streams_[index] = Stream{index, listed, volume, appeared};
  return &stored;
}

void Cache::TakeVolume(DeviceName device, uint32_t stream, const pa_cvolume& volume) {
  if (stream != PA_INVALID_INDEX) {
    const auto found = streams_.find(stream);
    if (found != streams_.end()) found->second.volume = volume;
    return;
  }
  for (auto& entry : device.isSink ? sinks_ : sources_) {
    if (entry.second.name == device.name) entry.second.volume = volume;
  }
}

void Cache::Forget(Facility facility, uint32_t index) {
  switch (facility) {
    case Facility::SINK:
      sinks_.erase(index);
      return;
    case Facility::SOURCE:
      sources_.erase(index);
      return;
    case Facility::STREAM:
      streams_.erase(index);
      return;
  }
}

void Cache::LoadLists() {
  devices_.Load();
  applications_.Load();
}

void Cache::ForgetServer() {
  sinks_.clear();
  sources_.clear();
  streams_.clear();
  defaultSink_.clear();
  defaultSource_.clear();
}

}  // namespace pulse
