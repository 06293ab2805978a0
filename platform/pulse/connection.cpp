// The connection to the sound server and its main loop: connecting without ever starting a
// server, subscribing and listing, waiting for answers no longer than ANSWER_TIMEOUT, noticing
// a server gone or restarted, sending writes, and letting the last writes land at exit.
#include "platform/pulse/connection.h"

#include "platform/posix/clock.h"
#include "platform/pulse/server.h"

namespace pulse {

Connection::Connection() : loop_(pa_threaded_mainloop_new()) {}

// The loop is freed only here: a mixer call may still come at exit, after End, and takes the
// lock.
Connection::~Connection() {
  End();
  if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
}

void Connection::Lock() {
  if (loop_ != nullptr) {
    pa_threaded_mainloop_lock(loop_);
  } else {
    noLoop_.lock();
  }
}

void Connection::Unlock() {
  if (loop_ != nullptr) {
    pa_threaded_mainloop_unlock(loop_);
  } else {
    noLoop_.unlock();
  }
}

int64_t Connection::Now() const { return posix::MonotonicNs(); }

Connection::Pending* Connection::TakePending(uint64_t value) {
  if (free_ == nullptr) {
    pending_.push_back(Pending{this, 0, nullptr});
    free_ = &pending_.back();
  }
  Pending* pending = free_;
  free_ = pending->nextFree;
  pending->value = value;
  return pending;
}

void Connection::GiveBack(Pending* pending) {
  pending->nextFree = free_;
  free_ = pending;
}

// The loop's thread starts with the first call that needs the server; none once ended at exit.
bool Connection::Started() {
  if (!started_ && !ended_ && loop_ != nullptr) started_ = pa_threaded_mainloop_start(loop_) >= 0;
  return started_;
}

void Connection::OnContextState(pa_context*, void* link) {
  pa_threaded_mainloop_signal(static_cast<Connection*>(link)->loop_, 0);
}

// A wait's deadline passed: it wakes to give up.
void Connection::OnLate(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* wait) {
  Deadline* deadline = static_cast<Deadline*>(wait);
  deadline->passed = true;
  pa_threaded_mainloop_signal(deadline->loop, 0);
}

// Waits, holding the loop's lock, until done() holds. False when the connection broke or the
// server did not answer in time.
template <typename Done>
bool Connection::WaitUntil(Done done, pa_usec_t timeout) {
  Deadline deadline{loop_, false};
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + timeout, OnLate, &deadline);
  while (!done() && !deadline.passed && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    pa_threaded_mainloop_wait(loop_);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer);
  return done() && PA_CONTEXT_IS_GOOD(pa_context_get_state(context_));
}

// Drops the connection and everything learned through it; writes on their way are lost with
// the server that would have taken them.
void Connection::Disconnect() {
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  listed_ = false;
  if (pace_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(pace_);
  pace_ = nullptr;
  ForgetQueries();
  // No answer comes from a connection gone: every pending is free again.
  free_ = nullptr;
  for (Pending& pending : pending_) GiveBack(&pending);
  server_->ServerGone(Held());
}

bool Connection::ConnectedAndListed() const {
  return context_ != nullptr && listed_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool Connection::Online(const Locked&) const { return ConnectedAndListed(); }

// Connects, subscribes to every change of devices, streams, clients and the server's defaults,
// then lists them all: an event that comes while the listing is on its way is applied after it.
bool Connection::Connect() {
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Knobvane");
  if (context_ == nullptr) return false;
  pa_context_set_state_callback(context_, OnContextState, this);
  pa_context_set_subscribe_callback(context_, OnEvent, this);
  // No autospawn: a machine without a server has no mixer devices, and we start none.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      !WaitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; })) {
    return false;
  }
  pa_operation* subscribed = pa_context_subscribe(
      context_,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                          PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT |
                                          PA_SUBSCRIPTION_MASK_SERVER),
      nullptr, nullptr);
  if (subscribed == nullptr) return false;
  pa_operation_unref(subscribed);
  const bool asked = ListEverything();
  // Other programs of ours may have added devices or applications since.
  server_->LoadLists(Held());
  if (!asked || !WaitUntil([this] { return listsPending_ == 0; })) return false;
  listed_ = true;
  return true;
}

// A connection with the cache filled, made or remade as needed; false when there is no server.
// Costs no round trip while the connection holds.
bool Connection::ConnectIfGone() {
  if (ConnectedAndListed()) return true;
  if (!Started()) return false;
  Disconnect();
  if (Connect()) return true;
  Disconnect();
  return false;
}

void Connection::OnAnswer(pa_context*, const pa_server_info*, void* link) {
  pa_threaded_mainloop_signal(static_cast<Connection*>(link)->loop_, 0);
}

// Makes a round trip: every change event the server sent before answering has been applied
// to the cache once the answer and every query it caused are in; and lets our own writes land
// first.
bool Connection::RoundTrip() {
  if (!ConnectIfGone()) return false;
  AskForChanged();
  pa_operation* answer = pa_context_get_server_info(context_, OnAnswer, this);
  if (answer == nullptr) {
    Disconnect();
    return false;
  }
  const bool answered = WaitUntil([this, answer] {
    return pa_operation_get_state(answer) != PA_OPERATION_RUNNING && queriesPending_ == 0 &&
           !server_->WritesOnTheirWay(Held());
  });
  pa_operation_unref(answer);
  if (!answered) Disconnect();
  return answered;
}

bool Connection::Reach(const Locked&, bool roundTrip) {
  if (!roundTrip && ConnectedAndListed()) return true;
  return roundTrip ? RoundTrip() : ConnectIfGone();
}

void Connection::OnWritten(pa_context*, int success, void* pending) {
  Pending* answer = static_cast<Pending*>(pending);
  Connection* link = answer->link;
  const uint64_t ticket = answer->value;
  link->GiveBack(answer);
  link->server_->Written(Held(), ticket, success != 0);
  // A wait for the writes to land may now be over.
  pa_threaded_mainloop_signal(link->loop_, 0);
}

bool Connection::SetVolume(const Locked&, Facility facility, uint32_t index,
                           const pa_cvolume& volume, uint64_t ticket) {
  if (context_ == nullptr || pa_context_get_state(context_) != PA_CONTEXT_READY) return false;
  Pending* pending = TakePending(ticket);
  pa_operation* operation = nullptr;
  switch (facility) {
    case Facility::SINK:
      operation = pa_context_set_sink_volume_by_index(context_, index, &volume, OnWritten, pending);
      break;
    case Facility::SOURCE:
      operation =
          pa_context_set_source_volume_by_index(context_, index, &volume, OnWritten, pending);
      break;
    case Facility::STREAM:
      operation = pa_context_set_sink_input_volume(context_, index, &volume, OnWritten, pending);
      break;
  }
  if (operation == nullptr) {
    GiveBack(pending);
    return false;
  }
  pa_operation_unref(operation);
  return true;
}

void Connection::OnPace(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* link) {
  Connection* c = static_cast<Connection*>(link);
  c->server_->SendDue(Held());
  // A device gone meanwhile took nothing, and no answer will come to say so.
  pa_threaded_mainloop_signal(c->loop_, 0);
}

// libpulse's timers run on its own real-time clock: the time left carries over.
void Connection::WakeAt(const Locked&, int64_t atNs) {
  if (context_ == nullptr) return;
  const int64_t left = atNs - posix::MonotonicNs();
  const pa_usec_t at =
      pa_rtclock_now() + static_cast<pa_usec_t>(left > 0 ? (left + 999) / 1000 : 0);
  if (pace_ == nullptr) {
    pace_ = pa_context_rttime_new(context_, at, OnPace, this);
  } else {
    pa_context_rttime_restart(context_, pace_, at);
  }
}

void Connection::LetWritesLand(const Locked&, int64_t deadlineNs) {
  const int64_t left = deadlineNs - posix::MonotonicNs();
  if (!started_ || context_ == nullptr || left <= 0) return;
  WaitUntil([this] { return !server_->WritesOnTheirWay(Held()); },
            static_cast<pa_usec_t>(left / 1000));
}

void Connection::End() {
  if (loop_ == nullptr || ended_) return;
  pa_threaded_mainloop_lock(loop_);
  if (started_ && context_ != nullptr) {
    WaitUntil([this] { return !server_->WritesOnTheirWay(Held()); });
  }
  if (started_) Disconnect();
  ended_ = true;
  pa_threaded_mainloop_unlock(loop_);
  if (started_) pa_threaded_mainloop_stop(loop_);
  started_ = false;
}

}  // namespace pulse
