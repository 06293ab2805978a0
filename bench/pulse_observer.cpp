// The observer's libpulse side: connecting, subscribing, and answering each event with a
// query of the output's volume.
#include "bench/pulse_observer.h"

namespace bench {

PulseObserver::~PulseObserver() {
  if (loop_ == nullptr) return;
  pa_threaded_mainloop_lock(loop_);
  if (context_ != nullptr) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

bool PulseObserver::Start(double deadlineSeconds) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) return false;
  return Eventually([this] { return TryToConnect(); }, deadlineSeconds);
}

void PulseObserver::OnState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseObserver*>(self)->loop_, 0);
}

void PulseObserver::OnSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
  PulseObserver* observer = static_cast<PulseObserver*>(self);
  if (eol == 0 && info != nullptr) observer->sink_ = info->index;
  if (eol != 0) pa_threaded_mainloop_signal(observer->loop_, 0);
}

void PulseObserver::OnSubscribed(pa_context*, int, void* self) {
  pa_threaded_mainloop_signal(static_cast<PulseObserver*>(self)->loop_, 0);
}

void PulseObserver::OnEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                            void* self) {
  const int64_t now = support::NowNs();
  PulseObserver* observer = static_cast<PulseObserver*>(self);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK ||
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE ||
      index != observer->sink_) {
    return;
  }
  const size_t event = observer->events_;
  if (event >= observer->slots_.size()) return;
  Slot& slot = observer->slots_[event];
  slot.observer = observer;
  slot.seen.eventAt = now;
  ++observer->events_;
  pa_operation* query = pa_context_get_sink_info_by_index(context, index, OnVolume, &slot);
  if (query != nullptr) pa_operation_unref(query);
}

void PulseObserver::OnVolume(pa_context*, const pa_sink_info* info, int eol, void* slot) {
  if (eol != 0 || info == nullptr) return;
  PulseObserver* observer = static_cast<Slot*>(slot)->observer;
  Observation& seen = static_cast<Slot*>(slot)->seen;
  seen.answeredAt = support::NowNs();
  seen.left = info->volume.values[0];
  seen.right = info->volume.channels > 1 ? info->volume.values[1] : info->volume.values[0];
  if (seen.left == observer->awaited_ || seen.right == observer->awaited_) {
    observer->awaitedSeen_ = true;
  }
  ++observer->answers_;
}

// Waits, with the loop locked, for an operation to end; false when it could not start.
bool PulseObserver::Wait(pa_operation* operation) {
  if (operation == nullptr) return false;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(loop_);
  }
  pa_operation_unref(operation);
  return true;
}

// True once connected to the server, subscribed and knowing the output's index.
bool PulseObserver::TryToConnect() {
  pa_threaded_mainloop_lock(loop_);
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "knobvane pulse-bench");
  pa_context_set_state_callback(context_, OnState, this);
  bool ready = false;
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    for (;;) {
      const pa_context_state_t state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) ready = true;
      if (!PA_CONTEXT_IS_GOOD(state) || state == PA_CONTEXT_READY) break;
      pa_threaded_mainloop_wait(loop_);
    }
  }
  if (ready) {
    pa_context_set_subscribe_callback(context_, OnEvent, this);
    ready = Wait(pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SINK, OnSubscribed, this)) &&
            Wait(pa_context_get_sink_info_by_name(context_, "knobs", OnSink, this)) &&
            sink_ != PA_INVALID_INDEX;
  }
  if (!ready) {
    // The next attempt starts over with a context of its own.
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  pa_threaded_mainloop_unlock(loop_);
  return ready;
}

}  // namespace bench
