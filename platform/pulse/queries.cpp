// What the cache asks the server for: the listings, one query per new or changed device or
// stream, and a stream's client; counted until answered, so a caller can wait for the cache to
// hold everything the server said before an answer of its own.
#include "platform/pulse/queries.h"

#include <map>
#include <set>
#include <utility>

#include "platform/pulse/cache.h"
#include "platform/pulse/connection.h"

namespace pulse {
namespace {

// How long a changed device or stream waits before it is asked for: every write of ours
// changes it too, and asking after each of them, up to 2,304 times a second, doubled the
// server's work. Another program's change shows within this time.
constexpr pa_usec_t REFRESH_DELAY = 10 * PA_USEC_PER_MSEC;

// All of it guarded by the main loop's lock.
struct Queries {
  int listsPending = 0;
  int queriesPending = 0;
  std::set<std::pair<unsigned, uint32_t>> changed;  // facility and index, still to ask for
  pa_time_event* refresh = nullptr;                 // set while some are
  std::map<uint32_t, uint32_t> awaitingClients;     // streams stored once their client's name is in
};

// Never destroyed: the connection forgets them at exit, after the library's own statics may be
// gone.
Queries& TheQueries() {
  static Queries* queries = new Queries;
  return *queries;
}

bool AskForClient(uint32_t client, uint32_t stream);

void Store(const pa_sink_info& sink) { StoreDevice(sink); }
void Store(const pa_source_info& source) { StoreDevice(source); }
void Store(const pa_client_info& client) { StoreClient(client); }

// Stored once the client's name is in; at once when it cannot be asked for.
void Store(const pa_sink_input_info& input) {
  if (StoreStream(input) || AskForClient(input.client, input.index)) return;
  StoreStream(input);
}

// One answer of a listing or a query; the counter it was asked with drops at its end.
template <typename Info>
void OnInfo(pa_context*, const Info* info, int eol, void* pending) {
  if (eol == 0 && info != nullptr) Store(*info);
  if (eol != 0) {
    --*static_cast<int*>(pending);
    WakeWaiters();
  }
}

// The server's own information comes alone, never as a list.
void OnServerInfo(pa_context*, const pa_server_info* info, void* pending) {
  if (info != nullptr) StoreDefaults(*info);
  --*static_cast<int*>(pending);
  WakeWaiters();
}

void Ask(pa_operation* operation, int* pending) {
  if (operation == nullptr) return;
  ++*pending;
  pa_operation_unref(operation);
}

// Asks the server for one device or stream.
void AskFor(pa_context* context, unsigned facility, uint32_t index) {
  int* pending = &TheQueries().queriesPending;
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

// The client's name, then the stream again, which may now be stored. The stream is asked for
// before the client's answer counts as in, so a wait for the cache never ends in between.
void OnClient(pa_context* context, const pa_client_info* info, int eol, void* index) {
  Queries& q = TheQueries();
  if (eol == 0 && info != nullptr) Store(*info);
  if (eol == 0) return;
  const uint32_t stream = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(index));
  // A client gone meanwhile, or one the server does not show, names nothing.
  const auto awaiting = q.awaitingClients.find(stream);
  if (awaiting != q.awaitingClients.end()) {
    NamesNothing(awaiting->second);
    q.awaitingClients.erase(awaiting);
  }
  AskFor(context, PA_SUBSCRIPTION_EVENT_SINK_INPUT, stream);
  --q.queriesPending;
  WakeWaiters();
}

// False when the client cannot be asked for: it then names nothing.
bool AskForClient(uint32_t client, uint32_t stream) {
  Queries& q = TheQueries();
  if (!q.awaitingClients.emplace(stream, client).second) return true;
  pa_operation* asked = pa_context_get_client_info(
      Context(), client, OnClient, reinterpret_cast<void*>(static_cast<uintptr_t>(stream)));
  if (asked == nullptr) {
    q.awaitingClients.erase(stream);
    NamesNothing(client);
    return false;
  }
  Ask(asked, &q.queriesPending);
  return true;
}

void OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) { AskForChanged(); }

}  // namespace

bool ListEverything() {
  pa_context* context = Context();
  int* pending = &TheQueries().listsPending;
  Ask(pa_context_get_sink_info_list(context, OnInfo<pa_sink_info>, pending), pending);
  Ask(pa_context_get_source_info_list(context, OnInfo<pa_source_info>, pending), pending);
  Ask(pa_context_get_sink_input_info_list(context, OnInfo<pa_sink_input_info>, pending), pending);
  Ask(pa_context_get_server_info(context, OnServerInfo, pending), pending);
  return *pending == 4;
}

bool ListingsIn() { return TheQueries().listsPending == 0; }

void AskForChanged() {
  Queries& q = TheQueries();
  if (q.refresh != nullptr) {
    LoopApi()->time_free(q.refresh);
    q.refresh = nullptr;
  }
  for (const auto& [facility, index] : q.changed) AskFor(Context(), facility, index);
  q.changed.clear();
}

bool QueriesAnswered() { return TheQueries().queriesPending == 0; }

void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index, void*) {
  Queries& q = TheQueries();
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
      // Asked for again when a stream of it needs its name.
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        Forget(facility, index);
        break;
      }
      q.changed.insert({facility, index});
      if (q.refresh == nullptr) {
        q.refresh =
            pa_context_rttime_new(context, pa_rtclock_now() + REFRESH_DELAY, OnRefresh, nullptr);
      }
      break;
    case PA_SUBSCRIPTION_EVENT_REMOVE:
      q.changed.erase({facility, index});
      Forget(facility, index);
      // A wait for the writes to land may now be over: the removed stream's went with it.
      if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) WakeWaiters();
      break;
    default:
      break;
  }
}

void ForgetQueries() {
  Queries& q = TheQueries();
  if (q.refresh != nullptr) LoopApi()->time_free(q.refresh);
  q.refresh = nullptr;
  q.changed.clear();
  q.awaitingClients.clear();
  q.listsPending = q.queriesPending = 0;
}

}  // namespace pulse
