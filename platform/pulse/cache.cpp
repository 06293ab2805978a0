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

void Store(const pa_sink_info& sink) {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  TheState().sinks[sink.index] =
      Device{true, sink.index, Text(sink.name), Text(sink.description), sink.volume};
}

void Store(const pa_source_info& source) {
  if (source.monitor_of_sink != PA_INVALID_INDEX) return;
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  TheState().sources[source.index] =
      Device{false, source.index, Text(source.name), Text(source.description), source.volume};
}

// A stream is its application's, which the line model takes up when new.
void Store(const pa_sink_input_info& input) {
  const char* restoreID = pa_proplist_gets(input.proplist, "module-stream-restore.id");
  const char* application = pa_proplist_gets(input.proplist, PA_PROP_APPLICATION_NAME);
  const std::string name = Text(application ? application : input.name);
  // Servers that leave the id out still name the application.
  const std::string given = restoreID ? restoreID : "application-name:" + name;
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  const std::string id = ApplicationOf(given, name);
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
    default:
      break;
  }
}

void OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) { AskForChanged(); }

}  // namespace

void ListEverything() {
  State& s = TheState();
  int* pending = &s.listsPending;
  Ask(pa_context_get_sink_info_list(s.context, OnInfo<pa_sink_info>, pending), pending);
  Ask(pa_context_get_source_info_list(s.context, OnInfo<pa_source_info>, pending), pending);
  Ask(pa_context_get_sink_input_info_list(s.context, OnInfo<pa_sink_input_info>, pending), pending);
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
