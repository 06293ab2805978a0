// What the link asks the server for: the listings, one query per new or changed device or
// stream, and a stream's client; counted until answered, so a caller can wait for the cache to
// hold everything the server said before an answer of its own. The answers go to the Server.
#include <algorithm>

#include "platform/posix/clock.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/server.h"

namespace pulse {
namespace {

// How long a changed device or stream waits before it is asked for: every write of ours
// changes it too, and asking after each of them, up to 2,304 times a second, doubled the
// server's work. Another program's change shows within this time after a quiet spell...
constexpr pa_usec_t REFRESH_DELAY = 10 * PA_USEC_PER_MSEC;
// ...and within this one while changes keep coming, as they do while a knob turns: each ask
// costs the server an answer and us two wake-ups, and would mostly tell us what we wrote.
constexpr pa_usec_t REFRESH_SPACING = 100 * PA_USEC_PER_MSEC;

std::string Text(const char* text) { return text != nullptr ? text : ""; }

// A property's text; null when it is not set, or empty.
const char* Property(pa_proplist* properties, const char* key) {
  const char* text = pa_proplist_gets(properties, key);
  return text != nullptr && text[0] != '\0' ? text : nullptr;
}

}  // namespace

void Connection::Store(const pa_sink_info& sink) {
  server_->StoreDevice(Held(), Device{true, sink.index, Text(sink.name), Text(sink.description),
                                      sink.volume, sink.channel_map});
}

// A monitor is kept too, since it may be the server's default input.
void Connection::Store(const pa_source_info& source) {
  Device device{false,         source.index,      Text(source.name), Text(source.description),
                source.volume, source.channel_map};
  device.isMonitor = source.monitor_of_sink != PA_INVALID_INDEX;
  server_->StoreDevice(Held(), std::move(device));
}

void Connection::Store(const pa_client_info& client) {
  const char* application = Property(client.proplist, PA_PROP_APPLICATION_NAME);
  clients_[client.index] = Text(application ? application : client.name);
}

// What tells an application from another: its name, on the stream or else on its client, else
// its program. The stream-restore id only when nothing names the application, since servers
// make it of the media role whenever there is one, and players of one role would share a
// line. Null when the client's name is still to be asked for.
const char* Connection::ApplicationName(const pa_sink_input_info& input) const {
  if (const char* name = Property(input.proplist, PA_PROP_APPLICATION_NAME)) return name;
  if (input.client != PA_INVALID_INDEX) {
    const auto known = clients_.find(input.client);
    if (known == clients_.end()) return nullptr;
    if (!known->second.empty()) return known->second.c_str();
  }
  for (const char* property : {PA_PROP_APPLICATION_PROCESS_BINARY, "module-stream-restore.id"}) {
    if (const char* name = Property(input.proplist, property)) return name;
  }
  return input.name != nullptr ? input.name : "";
}

// Stored once the client's name is in; at once when it cannot be asked for, and then it names
// nothing.
void Connection::Store(const pa_sink_input_info& input) {
  const char* name = ApplicationName(input);
  if (name == nullptr) {
    if (AskForClient(input.client, input.index)) return;
    name = ApplicationName(input);
  }
  server_->StoreStream(Held(), input.index, name, input.volume);
}

// One answer of a listing or a query; the counter it was asked with drops at its end.
template <typename Info, int Connection::*pending>
void Connection::OnInfo(pa_context*, const Info* info, int eol, void* link) {
  Connection* c = static_cast<Connection*>(link);
  if (eol == 0 && info != nullptr) c->Store(*info);
  if (eol != 0) {
    --(c->*pending);
    pa_threaded_mainloop_signal(c->loop_, 0);
  }
}

// The server's own information comes alone, never as a list.
template <int Connection::*pending>
void Connection::OnServerInfo(pa_context*, const pa_server_info* info, void* link) {
  Connection* c = static_cast<Connection*>(link);
  if (info != nullptr) {
    c->server_->StoreDefaults(Held(), info->default_sink_name, info->default_source_name);
  }
  --(c->*pending);
  pa_threaded_mainloop_signal(c->loop_, 0);
}

namespace {

// Counts what was asked, if it could be.
void Ask(pa_operation* operation, int* pending) {
  if (operation == nullptr) return;
  ++*pending;
  pa_operation_unref(operation);
}

}  // namespace

bool Connection::ListEverything() {
  int* pending = &listsPending_;
  Ask(pa_context_get_sink_info_list(context_, OnInfo<pa_sink_info, &Connection::listsPending_>,
                                    this),
      pending);
  Ask(pa_context_get_source_info_list(context_, OnInfo<pa_source_info, &Connection::listsPending_>,
                                      this),
      pending);
  Ask(pa_context_get_sink_input_info_list(
          context_, OnInfo<pa_sink_input_info, &Connection::listsPending_>, this),
      pending);
  Ask(pa_context_get_server_info(context_, OnServerInfo<&Connection::listsPending_>, this),
      pending);
  return *pending == 4;
}

// Asks the server for one device or stream.
void Connection::AskFor(unsigned facility, uint32_t index) {
  int* pending = &queriesPending_;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
      Ask(pa_context_get_sink_info_by_index(
              context_, index, OnInfo<pa_sink_info, &Connection::queriesPending_>, this),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      Ask(pa_context_get_source_info_by_index(
              context_, index, OnInfo<pa_source_info, &Connection::queriesPending_>, this),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      Ask(pa_context_get_sink_input_info(
              context_, index, OnInfo<pa_sink_input_info, &Connection::queriesPending_>, this),
          pending);
      break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
      Ask(pa_context_get_server_info(context_, OnServerInfo<&Connection::queriesPending_>, this),
          pending);
      break;
    default:
      break;
  }
}

// The client's name, then the stream again, which may now be stored. The stream is asked for
// before the client's answer counts as in, so a wait for the cache never ends in between.
void Connection::OnClient(pa_context*, const pa_client_info* info, int eol, void* pending) {
  Pending* asked = static_cast<Pending*>(pending);
  Connection* c = asked->link;
  if (eol == 0 && info != nullptr) c->Store(*info);
  if (eol == 0) return;
  const uint32_t stream = static_cast<uint32_t>(asked->value);
  c->GiveBack(asked);
  // A client gone meanwhile, or one the server does not show, names nothing.
  const auto awaiting = c->awaitingClients_.find(stream);
  if (awaiting != c->awaitingClients_.end()) {
    c->clients_.emplace(awaiting->second, "");
    c->awaitingClients_.erase(awaiting);
  }
  c->AskFor(PA_SUBSCRIPTION_EVENT_SINK_INPUT, stream);
  --c->queriesPending_;
  pa_threaded_mainloop_signal(c->loop_, 0);
}

// False when the client cannot be asked for: it then names nothing, and its streams go by what
// else they say, never asking for it again.
bool Connection::AskForClient(uint32_t client, uint32_t stream) {
  if (!awaitingClients_.emplace(stream, client).second) return true;
  Pending* pending = TakePending(stream);
  pa_operation* asked = pa_context_get_client_info(context_, client, OnClient, pending);
  if (asked == nullptr) {
    GiveBack(pending);
    awaitingClients_.erase(stream);
    clients_.emplace(client, "");
    return false;
  }
  Ask(asked, &queriesPending_);
  return true;
}

void Connection::OnRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* link) {
  static_cast<Connection*>(link)->AskForChanged();
}

void Connection::AskForChanged() {
  if (refresh_ != nullptr) {
    pa_threaded_mainloop_get_api(loop_)->time_free(refresh_);
    refresh_ = nullptr;
  }
  if (changed_.empty()) return;
  for (const auto& [facility, index] : changed_) AskFor(facility, index);
  changed_.clear();
  lastRefresh_ = pa_rtclock_now();
}

// The server's change events: a new device or stream is asked for at once, a changed one a
// little later (AskForChanged asks at once), and a removed one leaves the cache.
void Connection::OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                         void* link) {
  Connection* c = static_cast<Connection*>(link);
  const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  switch (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
    case PA_SUBSCRIPTION_EVENT_NEW:
      c->AskFor(facility, index);
      break;
    case PA_SUBSCRIPTION_EVENT_CHANGE:
      // The defaults change seldom, and the default lines are to follow them at once.
      if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        c->AskFor(facility, index);
        break;
      }
      // Asked for again when a stream of it needs its name.
      if (facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
        c->clients_.erase(index);
        break;
      }
      c->changed_.insert({facility, index});
      if (c->refresh_ == nullptr) {
        const pa_usec_t at =
            std::max(pa_rtclock_now() + REFRESH_DELAY, c->lastRefresh_ + REFRESH_SPACING);
        c->refresh_ = pa_context_rttime_new(context, at, OnRefresh, c);
      }
      break;
    case PA_SUBSCRIPTION_EVENT_REMOVE:
      c->changed_.erase({facility, index});
      switch (facility) {
        case PA_SUBSCRIPTION_EVENT_SINK:
          c->server_->Forget(Held(), Facility::SINK, index);
          break;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
          c->server_->Forget(Held(), Facility::SOURCE, index);
          break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
          c->server_->Forget(Held(), Facility::STREAM, index);
          // A wait for the writes to land may now be over: the removed stream's went with it.
          pa_threaded_mainloop_signal(c->loop_, 0);
          break;
        case PA_SUBSCRIPTION_EVENT_CLIENT:
          // PipeWire gives a gone client's index to the next one.
          c->clients_.erase(index);
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

void Connection::ForgetQueries() {
  if (refresh_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(refresh_);
  refresh_ = nullptr;
  changed_.clear();
  awaitingClients_.clear();
  listsPending_ = queriesPending_ = 0;
}

}  // namespace pulse
