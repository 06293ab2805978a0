// The connection to the sound server and its main loop: connecting without ever starting a
// server, subscribing and listing, waiting for answers no longer than ANSWER_TIMEOUT, noticing
// a server gone or restarted, and letting the last writes land at exit.
#include "platform/pulse/connection.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/pulse/cache.h"
#include "platform/pulse/pulse.h"
#include "platform/pulse/writes.h"

namespace pulse {
namespace {

void OnContextState(pa_context* context, void*) {
  if (pa_context_get_state(context) != PA_CONTEXT_READY) TheState().connected = false;
  Signal();
}

void OnLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* late) {
  *static_cast<bool*>(late) = true;
  Signal();
}

// Waits, holding the lock, until done() holds. False when the connection broke or the server
// did not answer in time.
template <typename Done>
bool WaitUntil(Done done, pa_usec_t timeout = ANSWER_TIMEOUT) {
  State& s = TheState();
  bool late = false;
  pa_time_event* timer =
      pa_context_rttime_new(s.context, pa_rtclock_now() + timeout, OnLate, &late);
  while (!done() && !late && PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context))) {
    pa_threaded_mainloop_wait(s.loop);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(s.loop)->time_free(timer);
  return done() && PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context));
}

// Drops the connection and everything learned through it; writes on their way are lost with
// the server that would have taken them.
void Disconnect() {
  State& s = TheState();
  if (s.context != nullptr) {
    pa_context_set_state_callback(s.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(s.context, nullptr, nullptr);
    pa_context_disconnect(s.context);
    pa_context_unref(s.context);
    s.context = nullptr;
  }
  if (s.refresh != nullptr) pa_threaded_mainloop_get_api(s.loop)->time_free(s.refresh);
  s.refresh = nullptr;
  s.changed.clear();
  s.listed = false;
  s.connected = false;
  std::lock_guard<std::mutex> cache(s.cacheLock);
  s.listsPending = s.queriesPending = 0;
  s.sinks.clear();
  s.sources.clear();
  s.streams.clear();
  s.clients.clear();
  s.awaitingClients.clear();
  s.defaultSink.clear();
  s.defaultSource.clear();
  s.controls.clear();
}

// At exit: lets the last writes land, then lets go of the server.
void Shutdown() {
  State& s = TheState();
  if (s.loop == nullptr) return;
  pa_threaded_mainloop_lock(s.loop);
  if (s.context != nullptr) WaitUntil([] { return !WritesOnTheirWay(); });
  Disconnect();
  pa_threaded_mainloop_unlock(s.loop);
  pa_threaded_mainloop_stop(s.loop);
  pa_threaded_mainloop_free(s.loop);
  close(s.wake);
  s.loop = nullptr;
  s.wake = -1;
  s.shutDown = true;
}

bool Connected() {
  const State& s = TheState();
  return s.context != nullptr && s.listed && pa_context_get_state(s.context) == PA_CONTEXT_READY;
}

// Connects, subscribes to every change of devices, streams, clients and the server's defaults,
// then lists them all: an event
// that comes while the listing is on its way is applied after it. Call with the lock held
// once the loop runs.
bool Connect() {
  State& s = TheState();
  s.context = pa_context_new(pa_threaded_mainloop_get_api(s.loop), "Knobvane");
  if (s.context == nullptr) return false;
  pa_context_set_state_callback(s.context, OnContextState, nullptr);
  pa_context_set_subscribe_callback(s.context, OnEvent, nullptr);
  // No autospawn: a machine without a server has no mixer devices, and we start none.
  if (pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !WaitUntil([&s] { return pa_context_get_state(s.context) == PA_CONTEXT_READY; })) {
    return false;
  }
  pa_operation* subscribed = pa_context_subscribe(
      s.context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                          PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT |
                                          PA_SUBSCRIPTION_MASK_SERVER),
      nullptr, nullptr);
  if (subscribed == nullptr) return false;
  pa_operation_unref(subscribed);
  ListEverything();
  {
    // Other programs of ours may have added devices or applications since.
    std::lock_guard<std::mutex> cache(s.cacheLock);
    s.devices.Load();
    s.applications.Load();
  }
  if (s.listsPending != 4 || !WaitUntil([&s] { return s.listsPending == 0; })) return false;
  s.listed = true;
  s.connected = true;
  return true;
}

// A connection with the cache filled, made or remade as needed; false when there is no server.
// Costs no round trip while the connection holds.
bool Reachable() {
  State& s = TheState();
  if (Connected()) return true;
  if (s.loop == nullptr) return false;
  Disconnect();
  if (Connect()) return true;
  Disconnect();
  return false;
}

void OnAnswer(pa_context*, const pa_server_info*, void*) { Signal(); }

// Brings the cache up to what the server has now: every change event the server sent before
// answering has been applied once the answer and every query it caused are in; and lets our
// own writes land first.
bool Current() {
  State& s = TheState();
  if (!Reachable()) return false;
  AskForChanged();
  pa_operation* answer = pa_context_get_server_info(s.context, OnAnswer, nullptr);
  if (answer == nullptr) {
    Disconnect();
    return false;
  }
  const bool answered = WaitUntil([&s, answer] {
    return pa_operation_get_state(answer) != PA_OPERATION_RUNNING && s.queriesPending == 0 &&
           !WritesOnTheirWay();
  });
  pa_operation_unref(answer);
  if (!answered) Disconnect();
  return answered;
}

// The main loop, started on first use; none once it was shut down at exit.
pa_threaded_mainloop* Loop() {
  State& s = TheState();
  if (s.loop == nullptr && !s.shutDown) {
    s.loop = pa_threaded_mainloop_new();
    if (s.loop == nullptr) return nullptr;
    s.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(s.loop);
    if (s.wake < 0 || api->io_new(api, s.wake, PA_IO_EVENT_INPUT, OnWake, nullptr) == nullptr ||
        pa_threaded_mainloop_start(s.loop) < 0) {
      pa_threaded_mainloop_free(s.loop);
      if (s.wake >= 0) close(s.wake);
      s.loop = nullptr;
      s.wake = -1;
      return nullptr;
    }
    atexit(Shutdown);
  }
  return s.loop;
}

}  // namespace

void LetWritesLand(std::chrono::steady_clock::time_point deadline) {
  State& s = TheState();
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (s.loop == nullptr || left.count() <= 0) return;
  pa_threaded_mainloop_lock(s.loop);
  if (s.context != nullptr) {
    WaitUntil([] { return !WritesOnTheirWay(); }, static_cast<pa_usec_t>(left.count()));
  }
  pa_threaded_mainloop_unlock(s.loop);
}

Session::Session(bool exact) {
  State& s = TheState();
  pa_threaded_mainloop* loop = Loop();
  if (loop != nullptr && (exact || !s.connected)) {
    pa_threaded_mainloop_lock(loop);
    exact ? Current() : Reachable();
    pa_threaded_mainloop_unlock(loop);
  }
  s.cacheLock.lock();
}

Session::~Session() { TheState().cacheLock.unlock(); }

}  // namespace pulse
