// The line model: devices in mixer order, each with its destination lines and their fixed line
// IDs; the default lines following the server's defaults, on two channels mapped onto the
// default's own; a listed device that is away standing in for itself, its writes kept for its
// return; an application's line standing for every stream of the application, and the value
// written to it remembered for the streams it starts later.
#include "platform/pulse/lines.h"

#include <cmath>

#include "platform/pulse/writes.h"

namespace pulse {
namespace {

constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
// An application's line ID is this plus its place in the list.
constexpr DWORD FIRST_APPLICATION_LINE_ID = 0x00010000u;

// A session manager may set a stream's or device's volume from its own memory just after it
// appears (WirePlumber does). For this long the value written to its line wins.
constexpr pa_usec_t STARTING_TIME = 1 * PA_USEC_PER_SEC;

// Balances closer than this are one: the controller reads a default line before each write,
// and carrying a balance through two channel maps and back must not wear it away.
constexpr float SAME_BALANCE = 0.001f;

const std::string MASTER_VOLUME = "Master Volume";

const pa_channel_map& Stereo() {
  static pa_channel_map stereo;
  static const bool made = pa_channel_map_init_stereo(&stereo) != nullptr;
  (void)made;
  return stereo;
}

Device Standing(bool isSink, const char* description, Kind kind) {
  Device device{isSink, PA_INVALID_INDEX, "", description, {}, Stereo(), kind};
  pa_cvolume_set(&device.volume, 2, PA_VOLUME_NORM);
  return device;
}

const Device DEFAULT_OUTPUT = Standing(true, "Default Output", Kind::DEFAULT);
const Device DEFAULT_INPUT = Standing(false, "Default Input", Kind::DEFAULT);
const Device APPLICATIONS = Standing(false, "Applications", Kind::APPLICATIONS);

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

float Balance(const pa_cvolume& volume, const pa_channel_map& map) {
  return pa_channel_map_valid(&map) && pa_cvolume_compatible_with_channel_map(&volume, &map) &&
                 pa_channel_map_can_balance(&map)
             ? pa_cvolume_get_balance(&volume, &map)
             : 0.0f;
}

// A value on one channel map carried onto another: the loudest channel and the left/right
// balance go over, and the other channels keep what they had to each other (a surround
// output's rear to its front, say). Carried back and forth with its balance unchanged, a value
// is only scaled, so it keeps its proportions exactly.
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

// The device a default line goes to now; null when the server has none, or none we know.
const Device* DefaultOf(const Device& line) {
  const State& s = TheState();
  return ServerDevice(DeviceKey{line.isSink, line.isSink ? s.defaultSink : s.defaultSource});
}

// The device a devices list's id names; one of no name (a damaged id) names none.
DeviceKey KeyOfListed(const std::string& id) {
  for (const bool isSink : {true, false}) {
    const std::string prefix = DeviceID(isSink, "");
    if (id.compare(0, prefix.size(), prefix) == 0)
      return DeviceKey{isSink, id.substr(prefix.size())};
  }
  return DeviceKey{false, ""};
}

// A listed device that is away, with what was last written to it, else full volume.
const Device* StandIn(const std::string& id, const std::string& description) {
  State& s = TheState();
  const DeviceKey key = KeyOfListed(id);
  Device& device = s.absent[id] = Standing(key.isSink, "", Kind::SERVER);
  device.name = key.name;
  device.description = description;
  const auto written = s.deviceWrites.find(id);
  const auto seen = s.seenMaps.find(id);
  if (written != s.deviceWrites.end()) {
    device.volume = written->second.volume;
    device.map = written->second.map;
  } else if (seen != s.seenMaps.end()) {
    // On the channels it had, so that a line opened while it was there still fits.
    device.map = seen->second;
    pa_cvolume_set(&device.volume, device.map.channels, PA_VOLUME_NORM);
  }
  return &device;
}

// A device's volume as a line of `channels` shows it. A line opened while its device was away
// has the stand-in's two channels, and the device, back, may have others (a mono microphone, a
// surround card): the value is carried across as a default line's is, so the knob works on.
pa_cvolume AsChannels(const pa_cvolume& volume, const pa_channel_map& map, DWORD channels) {
  if (channels != 2 || volume.channels == 2) return volume;
  return Remapped(volume, map, FullVolume(2), Stereo());
}

const Device* Listed(size_t place) {
  const Remembered& listed = TheState().devices.All()[place];
  const Device* there = ServerDevice(KeyOfListed(listed.id));
  return there != nullptr ? there : StandIn(listed.id, listed.name);
}

// `landed`: when a value that waited for a default reaches one; for a second it wins over what
// a session manager sets the new device to, as a device's own waiting write does.
void WriteDefault(const Device& line, const pa_cvolume& volume, pa_usec_t landed = 0) {
  State& s = TheState();
  const Device* target = DefaultOf(line);
  if (target == nullptr) {
    s.defaultWrites[line.isSink] = DeviceWrite{volume, Stereo(), true};
    return;
  }
  // A caller keeps a line's balance from what it read: if the default changed in between, the
  // value carries the old default's balance, and the new one keeps its own.
  const pa_cvolume current = Seen(*target, nullptr);
  pa_cvolume value = volume;
  std::string& shown = s.defaultShown[line.isSink];
  if (!shown.empty() && shown != target->name) {
    value = Remapped(current, target->map, FullVolume(2), Stereo());
    pa_cvolume_scale(&value, pa_cvolume_max(&volume));
  }
  shown = target->name;
  const pa_cvolume mapped = Remapped(value, Stereo(), current, target->map);
  s.deviceWrites[DeviceID(target->isSink, target->name)] =
      DeviceWrite{mapped, target->map, false, landed};
  // What the line reads once there is no default again: the last value written to it.
  s.defaultWrites[line.isSink] = DeviceWrite{value, Stereo(), false};
  WriteControl(KeyOf(*target), PA_INVALID_INDEX, mapped);
}

}  // namespace

std::vector<const Device*> Devices() {
  std::vector<const Device*> devices = {&DEFAULT_OUTPUT, &DEFAULT_INPUT};
  for (size_t place = 0; place < TheState().devices.All().size(); ++place) {
    devices.push_back(Listed(place));
  }
  devices.push_back(&APPLICATIONS);
  return devices;
}

const Device* FindDevice(const DeviceKey& key) {
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
  for (const Remembered& listed : TheState().devices.All()) {
    if (listed.id == id) return StandIn(id, listed.name);
  }
  return nullptr;
}

DWORD Destinations(const Device& device) {
  return device.kind == Kind::APPLICATIONS
             ? static_cast<DWORD>(TheState().applications.All().size())
             : 1;
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
  return device.kind == Kind::APPLICATIONS ? TheState().applications.All()[destination].name
                                           : MASTER_VOLUME;
}

// An application's line can be read and set before anything of it plays.
pa_cvolume LineVolume(const Device& device, DWORD destination, DWORD channels) {
  const State& s = TheState();
  switch (device.kind) {
    case Kind::SERVER:
      // A device that is away shows what was last written to it (its stand-in has it).
      return AsChannels(device.index != PA_INVALID_INDEX ? Seen(device, nullptr) : device.volume,
                        device.map, channels);
    case Kind::DEFAULT: {
      if (const Device* target = DefaultOf(device)) {
        return Remapped(Seen(*target, nullptr), target->map, FullVolume(2), Stereo());
      }
      const DeviceWrite& written = s.defaultWrites[device.isSink];
      return written.volume.channels != 0 ? written.volume : FullVolume(2);
    }
    case Kind::APPLICATIONS:
      break;
  }
  const std::string& name = s.applications.All()[destination].name;
  const std::vector<const Stream*> streams = StreamsOf(name);
  if (!streams.empty()) return Seen(device, streams.front());
  const auto written = s.written.find(name);
  return written != s.written.end() ? written->second : FullVolume(2);
}

void LineShown(const Device& device) {
  if (device.kind != Kind::DEFAULT) return;
  const Device* target = DefaultOf(device);
  TheState().defaultShown[device.isSink] = target != nullptr ? target->name : "";
}

void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume) {
  State& s = TheState();
  switch (device.kind) {
    case Kind::SERVER: {
      const bool there = device.index != PA_INVALID_INDEX;
      const pa_cvolume current = there ? Seen(device, nullptr) : device.volume;
      // Two channels from a line opened while the device was away (AsChannels).
      const pa_cvolume onDevice = volume.channels == current.channels
                                      ? volume
                                      : Remapped(volume, Stereo(), current, device.map);
      s.deviceWrites[DeviceID(device.isSink, device.name)] =
          DeviceWrite{onDevice, device.map, !there};
      if (there) WriteControl(KeyOf(device), PA_INVALID_INDEX, onDevice);
      return;
    }
    case Kind::DEFAULT:
      WriteDefault(device, volume);
      return;
    case Kind::APPLICATIONS:
      break;
  }
  const std::string& name = s.applications.All()[destination].name;
  s.written[name] = volume;
  for (const Stream* stream : StreamsOf(name)) {
    WriteStream(stream->index, OnChannels(volume, stream->volume.channels));
  }
}

std::string ApplicationOf(const std::string& name) {
  // The stream must go by the listed name, or its line would never find it. The id is the
  // one 1.0.0 gave an application it knew only by name, so that version still reads the list.
  const int place = TheState().applications.Remember("application-name:" + name, name);
  return place >= 0 ? TheState().applications.All()[place].name : name;
}

void StreamStored(const Stream& stream, pa_usec_t now) {
  const auto written = TheState().written.find(stream.application);
  if (written == TheState().written.end() || now - stream.appeared > STARTING_TIME) return;
  const pa_cvolume volume = OnChannels(written->second, stream.volume.channels);
  if (!pa_cvolume_equal(&volume, &stream.volume)) WriteStream(stream.index, volume);
}

void DeviceStored(const Device& device) {
  State& s = TheState();
  const std::string id = DeviceID(device.isSink, device.name);
  // The stand-in output a server makes while it has none (PulseAudio's module-always-sink,
  // PipeWire's pulse server: "auto_null") is no device of the user's. Default Output reaches
  // it while it is there; listed, it would move the application lines on for nothing.
  if (!device.isMonitor && device.name != "auto_null") s.devices.Remember(id, device.description);
  if (pa_channel_map_valid(&device.map)) s.seenMaps[id] = device.map;
  const auto found = s.deviceWrites.find(id);
  if (found != s.deviceWrites.end()) {
    DeviceWrite& written = found->second;
    const pa_usec_t now = pa_rtclock_now();
    if (written.waiting) {
      written.waiting = false;
      written.volume = Remapped(written.volume, written.map, device.volume, device.map);
      written.map = device.map;
      written.landed = now;
      WriteControl(KeyOf(device), PA_INVALID_INDEX, written.volume);
    } else if (now - written.landed < STARTING_TIME &&
               !pa_cvolume_equal(&written.volume, &device.volume)) {
      // A session manager setting what it remembers of the device (WirePlumber does).
      WriteControl(KeyOf(device), PA_INVALID_INDEX, written.volume);
    }
  }
  DefaultsStored();
}

void DefaultsStored() {
  State& s = TheState();
  for (const Device* line : {&DEFAULT_INPUT, &DEFAULT_OUTPUT}) {
    DeviceWrite& written = s.defaultWrites[line->isSink];
    if (!written.waiting || DefaultOf(*line) == nullptr) continue;
    written.waiting = false;
    WriteDefault(*line, written.volume, pa_rtclock_now());
  }
}

}  // namespace pulse
