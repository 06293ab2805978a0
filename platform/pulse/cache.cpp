// The cache of the server's devices and streams: what the listings and the queries answer is
// stored, and the server's change events say what to ask for again or to forget. Runs on the
// main loop's thread; the callers read the cache under its lock.
#include "platform/pulse/cache.h"

#include <algorithm>

#include "platform/pulse/lines.h"

namespace pulse {
namespace {

// How long a changed device or stream waits before it is asked for: every write of ours
// changes it too, and asking after each of them, up to 2,304 times a second, doubled the
// server's work. Another program's change shows within this time.
constexpr pa_usec_t REFRESH_DELAY = 10 * PA_USEC_PER_MSEC;

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// A property's text; null when it is not set, or empty.
const char* Property(pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text != nullptr && text[0] != '\0' ? text : nullptr;
}

void Store(const pa_sink_info& sink) {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  const Device& device = TheState().sinks[sink.index] = Device{
      true, sink.index, Text(sink.name), Text(sink.description), sink.volume, sink.channel_map};
  DeviceStored(device);
}

// A monitor is kept too, since it may be the server's default input, but it is no device of
// its own.
void Store(const pa_source_info& source) {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  Device& device = TheState().sources[source.index] =
      Device{false,         source.index,      Text(source.name), Text(source.description),
             source.volume, source.channel_map};
  device.isMonitor = source.monitor_of_sink != PA_INVALID_INDEX;
  DeviceStored(device);
}

void Store(const pa_server_info& server) {
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  s.defaultSink = Text(server.default_sink_name);
  s.defaultSource = Text(server.default_source_name);
  DefaultsStored();
}

void Store(const pa_client_info& client) {
  const char* application = Property(client.proplist, PA_PROP_APPLICATION_NAME);
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  TheState().clients[client.index] = Text(application ? application : client.name);
}

bool AskForClient(uint32_t client, uint32_t stream);

// What tells an application from another: its name, on the stream or else on its client, else
// its program. The stream-restore id only when nothing names the application, since servers
// make it of the media role whenever there is one, and players of one role would share a
// line. Null when the client's name is still to be asked for.
const char* ApplicationName(const pa_sink_input_info& input) {
  if (const char* name = Property(input.proplist, PA_PROP_APPLICATION_NAME)) return name;
  const State& s = TheState();
  if (input.client != PA_INVALID_INDEX) {
    const auto known = s.clients.find(input.client);
    if (known == s.clients.end()) return nullptr;
    if (!known->second.empty()) return known->second.c_str();
  }
  for (const char* property : {PA_PROP_APPLICATION_PROCESS_BINARY, "module-stream-restore.id"}) {
    if (const char* name = Property(input.proplist, property)) return name;
  }
  return input.name != nullptr ? input.name : "";
}

// A stream is its application's, which the line model takes up when new.
void Store(const pa_sink_input_info& input) {
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  const char* name = ApplicationName(input);
  if (name == nullptr) {
    // Taken up once the client's name is in; at once when it cannot be asked for.
    if (AskForClient(input.client, input.index)) return;
    name = ApplicationName(input);
  }
  const std::string id = ApplicationOf(name);
  // A stream without a volume of its own has nothing to read or set, and libpulse aborts on
  // a volume of no channels: its application keeps its line, the stream stays out.
  if (!pa_cvolume_valid(&input.volume)) return;
  const pa_usec_t now = pa_rtclock_now();
  const auto known = s.streams.find(input.index);
  const pa_usec_t appeared = known != s.streams.end() ? known->second.appeared : now;
  Stream& stream = s.streams[input.index] = Stream{input.index, id, input.volume, appeared};
  StreamStored(stream, now);
}

// One answer of a listing or a query; the counter it was asked with drops at its end.
template <typename Info>
void OnInfo(pa_context*, const Info* info, int eol, void* pending) {
  if (eol == 0 && info != nullptr) Store(*info);
  if (eol != 0) {
    --*static_cast<int*>(pending);
    Signal();
  }
}

// The server's own information comes alone, never as a list.
void OnServerInfo(pa_context*, const pa_server_info* info, void* pending) {
  if (info != nullptr) Store(*info);
  --*static_cast<int*>(pending);
  Signal();
}

void Ask(pa_operation* operation, int* pending) {
  if (operation == nullptr) return;
  ++*pending;
  pa_operation_unref(operation);
}

// Asks the server for one device or stream.
void AskFor(pa_context* context, unsigned facility, uint32_t index) {
  int* pending = &TheState().queriesPending;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
      Ask(pa_context_get_sink_info_by_index(context, index, OnInfo<pa_sink_info>, pending),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      Ask(pa_context_get_source_info_by_index(context, index, OnInfo<pa_source_info>, pending),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      Ask(pa_context_get_sink_input_info(context, index, OnInfo<pa_sink_input_info>, pending),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
      Ask(pa_context_get_server_info(context, OnServerInfo, pending), pending);
      break;
    default:
      break;
  }
}

// The client's name, then the stream again, which may now be taken up. The stream is asked for
// before the client's answer counts as in, so a wait for the cache never ends in between.
void OnClient(pa_context* context, const pa_client_info* info, int eol, void* index) {
  State& s = TheState();
  if (eol == 0 && info != nullptr) Store(*info);
  if (eol == 0) return;
  const uint32_t stream = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(index));
  {
    // A client gone meanwhile, or one the server does not show, names nothing: its streams
    // go by what else they say, and are never asked for again for it.
    std::lock_guard<std::mutex> cache(s.cacheLock);
    const auto awaiting = s.awaitingClients.find(stream);
    if (awaiting != s.awaitingClients.end()) {
      s.clients.emplace(awaiting->second, "");
      s.awaitingClients.erase(awaiting);
    }
  }
  AskFor(context, PA_SUBSCRIPTION_EVENT_SINK_INPUT, stream);
  --s.queriesPending;
  Signal();
}

// Hold the cache's lock. False when the client cannot be asked for: it then names nothing,
// and its streams go by what else they say.
bool AskForClient(uint32_t client, uint32_t stream) {
  State& s = TheState();
  if (!s.awaitingClients.emplace(stream, client).second) return true;
  pa_operation* asked = pa_context_get_client_info(
      s.context, client, OnClient, reinterpret_cast<void*>(static_cast<uintptr_t>(stream)));
  if (asked == nullptr) {
    s.awaitingClients.erase(stream);
    s.clients.emplace(client, "");
    return false;
  }
  Ask(asked, &s.queriesPending);
  return true;
}

void OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) { AskForChanged(); }

}  // namespace

void ListEverything() {
  State& s = TheState();
  int* pending = &s.listsPending;
  Ask(pa_context_get_sink_info_list(s.context, OnInfo<pa_sink_info>, pending), pending);
  Ask(pa_context_get_source_info_list(s.context, OnInfo<pa_source_info>, pending), pending);
  Ask(pa_context_get_sink_input_info_list(s.context, OnInfo<pa_sink_input_info>, pending), pending);
  Ask(pa_context_get_server_info(s.context, OnServerInfo, pending), pending);
}

void AskForChanged() {
  State& s = TheState();
  if (s.refresh != nullptr) {
    pa_threaded_mainloop_get_api(s.loop)->time_free(s.refresh);
    s.refresh = nullptr;
  }
  for (const auto& [facility, index] : s.changed) AskFor(s.context, facility, index);
  s.changed.clear();
}

void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void*) {
  State& s = TheState();
  const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  switch (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
    case PA_SUBSCRIPTION_EVENT_NEW:
      AskFor(context, facility, index);
      break;
    case PA_SUBSCRIPTION_EVENT_CHANGE:
      // The defaults change seldom, and the default lines are to follow them at once.
      if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        AskFor(context, facility, index);
        break;
      }
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        // Asked for again when a stream of it needs its name.
        std::lock_guard<std::mutex> cache(s.cacheLock);
        s.clients.erase(index);
        break;
      }
      s.changed.insert({facility, index});
      if (s.refresh == nullptr) {
        s.refresh =
            pa_context_rttime_new(context, pa_rtclock_now() + REFRESH_DELAY, OnRefresh, nullptr);
      }
      break;
    case PA_SUBSCRIPTION_EVENT_REMOVE: {
      s.changed.erase({facility, index});
      std::lock_guard<std::mutex> cache(s.cacheLock);
      if (facility == PA_SUBSCRIPTION_EVENT_SINK) s.sinks.erase(index);
      if (facility == PA_SUBSCRIPTION_EVENT_SOURCE) s.sources.erase(index);
      // PipeWire gives a gone client's index to the next one.
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) s.clients.erase(index);
      if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        s.streams.erase(index);
        // Its control goes with it: an application that starts a stream per video would
        // otherwise grow the list searched on every reading, and PipeWire may give the index
        // to a new stream. An answer still on its way then finds no control and is dropped.
        s.controls.erase(
            std::remove_if(s.controls.begin(), s.controls.end(),
                           [index](const Control& control) { return control.stream == index; }),
            s.controls.end());
        // A wait for the writes to land may now be over.
        Signal();
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace pulse
