// The connection to the sound server and its main loop: connecting without ever starting a
// server, subscribing and listing, waiting for answers no longer than ANSWER_TIMEOUT, noticing
// a server gone or restarted, and letting the last writes land at exit.
#include "platform/pulse/connection.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "platform/pulse/cache.h"
#include "platform/pulse/pulse.h"
#include "platform/pulse/queries.h"
#include "platform/pulse/writes.h"

namespace pulse {
namespace {

struct Connection {
  pa_threaded_mainloop* loop = nullptr;
  int wake = -1;          // an eventfd the loop watches: a write waits to be sent
  bool shutDown = false;  // released at exit: no loop starts again
  // Guarded by the loop's lock.
  pa_context* context = nullptr;
  bool listed = false;  // the cache holds what the listing answered
  // Set by a caller once connected and listed, cleared by the loop's thread when the context
  // fails: what the callers go by without the loop's lock.
  std::atomic<bool> online{false};
};

// Never destroyed: the connection is released at exit by Shutdown, which may run after the
// library's own statics are gone.
Connection& TheConnection() {
  static Connection* connection = new Connection;
  return *connection;
}

void OnContextState(pa_context* context, void*) {
  if (pa_context_get_state(context) != PA_CONTEXT_READY) TheConnection().online = false;
  WakeWaiters();
}

void OnLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* late) {
  *static_cast<bool*>(late) = true;
  WakeWaiters();
}

// Sends every waiting write, on the loop's thread.
void OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) return;
  if (TheConnection().context == nullptr) return;
  SendWaiting();
  // A device gone meanwhile took nothing, and no answer will come to say so.
  WakeWaiters();
}

// Waits, holding the loop's lock, until done() holds. False when the connection broke or the
// server did not answer in time.
template <typename Done>
bool WaitUntil(Done done, pa_usec_t timeout = ANSWER_TIMEOUT) {
  Connection& c = TheConnection();
  bool late = false;
  pa_time_event* timer =
      pa_context_rttime_new(c.context, pa_rtclock_now() + timeout, OnLate, &late);
  while (!done() && !late && PA_CONTEXT_IS_GOOD(pa_context_get_state(c.context))) {
    pa_threaded_mainloop_wait(c.loop);
  }
  if (timer != nullptr) LoopApi()->time_free(timer);
  return done() && PA_CONTEXT_IS_GOOD(pa_context_get_state(c.context));
}

// Drops the connection and everything learned through it; writes on their way are lost with
// the server that would have taken them.
void Disconnect() {
  Connection& c = TheConnection();
  if (c.context != nullptr) {
    pa_context_set_state_callback(c.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(c.context, nullptr, nullptr);
    pa_context_disconnect(c.context);
    pa_context_unref(c.context);
    c.context = nullptr;
  }
  c.listed = false;
  c.online = false;
  ForgetQueries();
  ForgetServer();
  DropWrites();
}

// At exit: lets the last writes land, then lets go of the server.
void Shutdown() {
  Connection& c = TheConnection();
  if (c.loop == nullptr) return;
  pa_threaded_mainloop_lock(c.loop);
  if (c.context != nullptr) WaitUntil([] { return !WritesOnTheirWay(); });
  Disconnect();
  pa_threaded_mainloop_unlock(c.loop);
  pa_threaded_mainloop_stop(c.loop);
  pa_threaded_mainloop_free(c.loop);
  close(c.wake);
  c.loop = nullptr;
  c.wake = -1;
  c.shutDown = true;
}

// Whether the connection is up and its listing is in the cache.
bool ConnectedAndListed() {
  const Connection& c = TheConnection();
  return c.context != nullptr && c.listed && pa_context_get_state(c.context) == PA_CONTEXT_READY;
}

// Connects, subscribes to every change of devices, streams, clients and the server's defaults,
// then lists them all: an event that comes while the listing is on its way is applied after it.
// Call with the loop's lock held once the loop runs.
bool Connect() {
  Connection& c = TheConnection();
  c.context = pa_context_new(LoopApi(), "Knobvane");
  if (c.context == nullptr) return false;
  pa_context_set_state_callback(c.context, OnContextState, nullptr);
  pa_context_set_subscribe_callback(c.context, OnEvent, nullptr);
  // No autospawn: a machine without a server has no mixer devices, and we start none.
  if (pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !WaitUntil([&c] { return pa_context_get_state(c.context) == PA_CONTEXT_READY; })) {
    return false;
  }
  pa_operation* subscribed = pa_context_subscribe(
      c.context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                          PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT |
                                          PA_SUBSCRIPTION_MASK_SERVER),
      nullptr, nullptr);
  if (subscribed == nullptr) return false;
  pa_operation_unref(subscribed);
  const bool asked = ListEverything();
  // Other programs of ours may have added devices or applications since.
  LoadLists();
  if (!asked || !WaitUntil(ListingsIn)) return false;
  c.listed = true;
  c.online = true;
  return true;
}

// A connection with the cache filled, made or remade as needed; false when there is no server.
// Costs no round trip while the connection holds.
bool ConnectIfGone() {
  if (ConnectedAndListed()) return true;
  if (TheConnection().loop == nullptr) return false;
  Disconnect();
  if (Connect()) return true;
  Disconnect();
  return false;
}

void OnAnswer(pa_context*, const pa_server_info*, void*) { WakeWaiters(); }

// Makes a round trip: every change event the server sent before answering has been applied
// to the cache once the answer and every query it caused are in; and lets our own writes land
// first.
bool RoundTrip() {
  if (!ConnectIfGone()) return false;
  AskForChanged();
  pa_operation* answer = pa_context_get_server_info(TheConnection().context, OnAnswer, nullptr);
  if (answer == nullptr) {
    Disconnect();
    return false;
  }
  const bool answered = WaitUntil([answer] {
    return pa_operation_get_state(answer) != PA_OPERATION_RUNNING && QueriesAnswered() &&
           !WritesOnTheirWay();
  });
  pa_operation_unref(answer);
  if (!answered) Disconnect();
  return answered;
}

// The main loop, started on first use; none once it was shut down at exit.
pa_threaded_mainloop* Loop() {
  Connection& c = TheConnection();
  if (c.loop == nullptr && !c.shutDown) {
    c.loop = pa_threaded_mainloop_new();
    if (c.loop == nullptr) return nullptr;
    c.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(c.loop);
    if (c.wake < 0 || api->io_new(api, c.wake, PA_IO_EVENT_INPUT, OnWake, nullptr) == nullptr ||
        pa_threaded_mainloop_start(c.loop) < 0) {
      pa_threaded_mainloop_free(c.loop);
      if (c.wake >= 0) close(c.wake);
      c.loop = nullptr;
      c.wake = -1;
      return nullptr;
    }
    atexit(Shutdown);
  }
  return c.loop;
}

// Connects or makes a round trip, with the loop's lock.
void WithLoop(bool roundTrip) {
  pa_threaded_mainloop* loop = Loop();
  if (loop == nullptr || (!roundTrip && TheConnection().online)) return;
  pa_threaded_mainloop_lock(loop);
  roundTrip ? RoundTrip() : ConnectIfGone();
  pa_threaded_mainloop_unlock(loop);
}

}  // namespace

void ReachServer() { WithLoop(false); }
bool ServerThere() {
  ReachServer();
  return Online();
}
void SyncWithServer() { WithLoop(true); }
bool Online() { return TheConnection().online; }

pa_context* Context() { return TheConnection().context; }
pa_mainloop_api* LoopApi() { return pa_threaded_mainloop_get_api(TheConnection().loop); }
void WakeWaiters() { pa_threaded_mainloop_signal(TheConnection().loop, 0); }

void WakeLoop() {
  const uint64_t one = 1;
  if (write(TheConnection().wake, &one, sizeof one) < 0) {
    // The counter is full, so the loop has a wake-up waiting already.
  }
}

void LetWritesLand(std::chrono::steady_clock::time_point deadline) {
  Connection& c = TheConnection();
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - std::chrono::steady_clock::now());
  if (c.loop == nullptr || left.count() <= 0) return;
  pa_threaded_mainloop_lock(c.loop);
  if (c.context != nullptr) {
    WaitUntil([] { return !WritesOnTheirWay(); }, static_cast<pa_usec_t>(left.count()));
  }
  pa_threaded_mainloop_unlock(c.loop);
}

}  // namespace pulse
