// The cache of the server's devices and streams: what the listings and the queries answer is
// stored, and what the server removed is forgotten. Changed on the main loop's thread; the
// callers read the cache under its lock.
#include "platform/pulse/cache.h"

#include <map>

#include "platform/pulse/kept.h"
#include "platform/pulse/writes.h"

namespace pulse {
namespace {

struct Cache {
  std::mutex lock;                            // guards the rest
  std::map<uint32_t, Device> sinks, sources;  // by pulse index
  std::map<uint32_t, Stream> streams;
  std::map<uint32_t, std::string> clients;         // each client's application name, by pulse index
  std::string defaultSink, defaultSource;          // the server's defaults' names
  std::map<std::string, pa_channel_map> seenMaps;  // each listed device's channels when last there
  RememberedList devices{StateFilePath("devices"), RememberedList::BY_ID};
  RememberedList applications{StateFilePath("applications"), RememberedList::BY_NAME};
};

// Never destroyed: the connection is released at exit, after the library's own statics may be
// gone, and forgets the server on its way.
Cache& TheCache() {
  static Cache* cache = new Cache;
  return *cache;
}

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// A property's text; null when it is not set, or empty.
const char* Property(pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text != nullptr && text[0] != '\0' ? text : nullptr;
}

// The stand-in output a server makes while it has none (PulseAudio's module-always-sink,
// PipeWire's pulse server: "auto_null") is no device of the user's: Default Output reaches it
// while it is there; listed, it would move the application lines on for nothing.
void Stored(const Device& device) {
  Cache& c = TheCache();
  const std::string id = DeviceID(device.isSink, device.name);
  if (!device.isMonitor && device.name != "auto_null") c.devices.Remember(id, device.description);
  if (pa_channel_map_valid(&device.map)) c.seenMaps[id] = device.map;
  DeviceStored(device);
  DefaultsStored();
}

// What tells an application from another: its name, on the stream or else on its client, else
// its program. The stream-restore id only when nothing names the application, since servers
// make it of the media role whenever there is one, and players of one role would share a
// line. Null when the client's name is still to be asked for.
const char* ApplicationName(const pa_sink_input_info& input) {
  if (const char* name = Property(input.proplist, PA_PROP_APPLICATION_NAME)) return name;
  const Cache& c = TheCache();
  if (input.client != PA_INVALID_INDEX) {
    const auto known = c.clients.find(input.client);
    if (known == c.clients.end()) return nullptr;
    if (!known->second.empty()) return known->second.c_str();
  }
  for (const char* property : {PA_PROP_APPLICATION_PROCESS_BINARY, "module-stream-restore.id"}) {
    if (const char* name = Property(input.proplist, property)) return name;
  }
  return input.name != nullptr ? input.name : "";
}

// The name a stream of that application goes by, the application listed when new. The stream
// must go by the listed name (the list may cut or clean a name for its file), or its line would
// never find it. Entries are told apart by name, so a list holding other ids for an
// application's name keeps its places.
std::string ApplicationOf(const std::string& name) {
  RememberedList& applications = TheCache().applications;
  const int place = applications.Remember("application-name:" + name, name);
  return place >= 0 ? applications.All()[place].name : name;
}

}  // namespace

CacheLock::CacheLock() { TheCache().lock.lock(); }
CacheLock::~CacheLock() { TheCache().lock.unlock(); }

const Device* ServerDevice(const DeviceKey& key) {
  if (key.name.empty()) return nullptr;
  for (const auto& entry : key.isSink ? TheCache().sinks : TheCache().sources) {
    if (entry.second.name == key.name) return &entry.second;
  }
  return nullptr;
}

const std::string& DefaultName(bool isSink) {
  return isSink ? TheCache().defaultSink : TheCache().defaultSource;
}

std::vector<const Stream*> StreamsOf(const std::string& application) {
  std::vector<const Stream*> streams;
  for (const auto& entry : TheCache().streams) {
    if (entry.second.application == application) streams.push_back(&entry.second);
  }
  return streams;
}

const std::vector<Remembered>& ListedDevices() { return TheCache().devices.All(); }
const std::vector<Remembered>& ListedApplications() { return TheCache().applications.All(); }

const pa_channel_map* SeenMap(const std::string& id) {
  const auto seen = TheCache().seenMaps.find(id);
  return seen != TheCache().seenMaps.end() ? &seen->second : nullptr;
}

void TakeVolume(const DeviceKey& device, uint32_t stream, const pa_cvolume& volume) {
  Cache& c = TheCache();
  if (stream != PA_INVALID_INDEX) {
    const auto found = c.streams.find(stream);
    if (found != c.streams.end()) found->second.volume = volume;
    return;
  }
  for (auto& entry : device.isSink ? c.sinks : c.sources) {
    if (entry.second.name == device.name) entry.second.volume = volume;
  }
}

void StoreDevice(const pa_sink_info& sink) {
  CacheLock cache;
  Stored(TheCache().sinks[sink.index] =
             Device{true, sink.index, Text(sink.name), Text(sink.description), sink.volume,
                    sink.channel_map});
}

// A monitor is kept too, since it may be the server's default input, but it is no device of
// its own.
void StoreDevice(const pa_source_info& source) {
  CacheLock cache;
  Device& device = TheCache().sources[source.index] =
      Device{false,         source.index,      Text(source.name), Text(source.description),
             source.volume, source.channel_map};
  device.isMonitor = source.monitor_of_sink != PA_INVALID_INDEX;
  Stored(device);
}

void StoreDefaults(const pa_server_info& server) {
  CacheLock cache;
  TheCache().defaultSink = Text(server.default_sink_name);
  TheCache().defaultSource = Text(server.default_source_name);
  DefaultsStored();
}

void StoreClient(const pa_client_info& client) {
  const char* application = Property(client.proplist, PA_PROP_APPLICATION_NAME);
  CacheLock cache;
  TheCache().clients[client.index] = Text(application ? application : client.name);
}

bool StoreStream(const pa_sink_input_info& input) {
  Cache& c = TheCache();
  CacheLock cache;
  const char* name = ApplicationName(input);
  if (name == nullptr) return false;
  const std::string id = ApplicationOf(name);
  // A stream without a volume of its own has nothing to read or set, and libpulse aborts on
  // a volume of no channels: its application keeps its line, the stream stays out.
  if (!pa_cvolume_valid(&input.volume)) return true;
  const pa_usec_t now = pa_rtclock_now();
  const auto known = c.streams.find(input.index);
  const pa_usec_t appeared = known != c.streams.end() ? known->second.appeared : now;
  StreamStored(c.streams[input.index] = Stream{input.index, id, input.volume, appeared}, now);
  return true;
}

// Its streams go by what else they say, and are never asked for again for it.
void NamesNothing(uint32_t client) {
  CacheLock cache;
  TheCache().clients.emplace(client, "");
}

void Forget(unsigned facility, uint32_t index) {
  Cache& c = TheCache();
  CacheLock cache;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK) c.sinks.erase(index);
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) c.sources.erase(index);
  // PipeWire gives a gone client's index to the next one.
  if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) c.clients.erase(index);
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    c.streams.erase(index);
    ForgetStream(index);
  }
}

void LoadLists() {
  CacheLock cache;
  TheCache().devices.Load();
  TheCache().applications.Load();
}

void ForgetServer() {
  Cache& c = TheCache();
  CacheLock cache;
  c.sinks.clear();
  c.sources.clear();
  c.streams.clear();
  c.clients.clear();
  c.defaultSink.clear();
  c.defaultSource.clear();
}

}  // namespace pulse
