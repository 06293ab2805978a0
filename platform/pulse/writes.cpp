// The writes on their way: a control per master line or stream written to, its newest value,
// and the one write of it the server has not answered yet. The caller's thread hands values
// over and wakes the main loop, which sends them and takes the server's answers. While a knob
// keeps turning, a control's writes are paced (platform/write_pacer.h): a value handed within
// an interval of the last write waits for a timer of the loop's, newer ones replacing it.
#include "platform/pulse/writes.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/clock.h"
#include "platform/pulse/cache.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/kept.h"
#include "platform/write_pacer.h"

namespace pulse {
namespace {

// A control written to: the newest value the caller gave, and whether the server has it yet.
struct Control {
  uint64_t id;  // what the server's answer to a write names
  DeviceKey device;
  uint32_t stream;  // PA_INVALID_INDEX for a master line
  pa_cvolume newest;
  pa_cvolume sent;
  WritePacer pacer;  // whether newest waits to be sent, and when it may go
};

struct Writes {
  std::mutex lock;  // guards the rest
  std::vector<Control> controls;
  uint64_t nextControl = 1;
  // The loop's timer for the earliest paced write, made on first use; only the loop's thread
  // touches it.
  pa_time_event* timer = nullptr;
  int64_t timerDueNs = WritePacer::NEVER;
};

// Never destroyed: the writes on their way land at exit, after the library's own statics may
// be gone.
Writes& TheWrites() {
  static Writes* writes = new Writes;
  return *writes;
}

Control* FindControl(const DeviceKey& device, uint32_t stream) {
  for (Control& control : TheWrites().controls) {
    if (control.stream == stream && control.device.isSink == device.isSink &&
        control.device.name == device.name) {
      return &control;
    }
  }
  return nullptr;
}

Control* ControlWithID(uint64_t id) {
  for (Control& control : TheWrites().controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

// A master line's value that its device took nothing of, having gone away meanwhile, waits
// for the device to come back, as one written while it was away does. One that a server gone
// away took nothing of is lost with it, as every write on its way is. The device it is for;
// an empty key for none.
DeviceKey ToKeepForReturn(const Control& control) {
  const pa_context* context = Context();
  if (control.stream != PA_INVALID_INDEX || context == nullptr ||
      pa_context_get_state(context) != PA_CONTEXT_READY) {
    return DeviceKey{};
  }
  return control.device;
}

void OnWritten(pa_context*, int success, void* id);
void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*);

// Makes the loop send what waits by dueNs (NEVER: nothing). On the loop's thread, holding the
// writes' lock.
void SendBy(int64_t dueNs) {
  Writes& w = TheWrites();
  if (dueNs == WritePacer::NEVER || dueNs >= w.timerDueNs) return;
  const pa_context* context = Context();
  if (context == nullptr) return;
  w.timerDueNs = dueNs;
  // The loop's real-time clock is the monotonic one the pacer's times come from.
  const pa_usec_t at = static_cast<pa_usec_t>((dueNs + 999) / 1000);
  if (w.timer == nullptr) {
    w.timer = pa_context_rttime_new(context, at, OnTimer, nullptr);
    if (w.timer == nullptr) w.timerDueNs = WritePacer::NEVER;
  } else {
    pa_context_rttime_restart(context, w.timer, at);
  }
}

// Sends the control's newest value; a device or stream gone meanwhile takes nothing. On the
// loop's thread, holding the cache's and the writes' locks, once the pacer gave it its turn.
// The device to keep the value for when nothing was sent.
DeviceKey Send(Control* control) {
  control->sent = control->newest;
  void* id = reinterpret_cast<void*>(static_cast<uintptr_t>(control->id));
  pa_context* context = Context();
  pa_operation* operation = nullptr;
  if (control->stream != PA_INVALID_INDEX) {
    operation =
        pa_context_set_sink_input_volume(context, control->stream, &control->sent, OnWritten, id);
  } else if (const Device* device = ServerDevice(control->device)) {
    // By index: the server takes a name of digits for an index, and a write must never land
    // on another device.
    operation = device->isSink ? pa_context_set_sink_volume_by_index(context, device->index,
                                                                     &control->sent, OnWritten, id)
                               : pa_context_set_source_volume_by_index(
                                     context, device->index, &control->sent, OnWritten, id);
  }
  if (operation == nullptr) {
    control->pacer.Answered();
    return ToKeepForReturn(*control);
  }
  pa_operation_unref(operation);
  return DeviceKey{};
}

// The server's answer to a write. The cache takes the written value at once: the change
// event that follows only confirms it, and a read in between must not see the old one.
void OnWritten(pa_context*, int success, void* id) {
  CacheLock cache;
  DeviceKey keep;
  {
    std::lock_guard<std::mutex> writes(TheWrites().lock);
    Control* control = ControlWithID(reinterpret_cast<uintptr_t>(id));
    if (control != nullptr) {
      control->pacer.Answered();
      if (success) TakeVolume(control->device, control->stream, control->sent);
      if (!success) keep = ToKeepForReturn(*control);
      if (control->pacer.TakeTurn(posix::MonotonicNs())) {
        const DeviceKey notSent = Send(control);
        if (!notSent.name.empty()) keep = notSent;
      }
      SendBy(control->pacer.DueAt());
    }
  }
  if (!keep.name.empty()) KeepForReturn(keep);
  WakeWaiters();
}

void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
  {
    std::lock_guard<std::mutex> writes(TheWrites().lock);
    TheWrites().timerDueNs = WritePacer::NEVER;
  }
  if (Context() == nullptr) return;
  SendWaiting();
  // A device gone meanwhile took nothing, and no answer will come to say so.
  WakeWaiters();
}

}  // namespace

void Hand(const DeviceKey& device, uint32_t stream, const pa_cvolume& volume) {
  Writes& w = TheWrites();
  std::lock_guard<std::mutex> writes(w.lock);
  Control* control = FindControl(device, stream);
  if (control == nullptr) {
    w.controls.push_back(Control{w.nextControl++, device, stream, volume, volume, WritePacer()});
    control = &w.controls.back();
  }
  control->newest = volume;
  // The loop hears of a value only when it has a write to send or a timer to set: not while
  // one waits for its answer or its timer, which takes the newest then.
  const bool known = control->pacer.Waiting() && control->pacer.DueAt() > posix::MonotonicNs();
  control->pacer.Changed();
  if (!known && !control->pacer.OnItsWay()) WakeLoop();
}

pa_cvolume Seen(const Device& device, const Stream* stream) {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  const Control* control = stream ? FindControl(DeviceKey{}, stream->index)
                                  : FindControl(KeyOf(device), PA_INVALID_INDEX);
  if (control != nullptr && (control->pacer.OnItsWay() || control->pacer.Waiting())) {
    return control->newest;
  }
  return stream ? stream->volume : device.volume;
}

bool WritesOnTheirWay() {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  const auto& controls = TheWrites().controls;
  return std::any_of(controls.begin(), controls.end(), [](const Control& control) {
    return control.pacer.OnItsWay() || control.pacer.Waiting();
  });
}

// An application that starts a stream per video would otherwise grow the list searched on every
// reading, and PipeWire may give the index to a new stream.
void ForgetStream(uint32_t stream) {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  auto& controls = TheWrites().controls;
  controls.erase(
      std::remove_if(controls.begin(), controls.end(),
                     [stream](const Control& control) { return control.stream == stream; }),
      controls.end());
}

void SendWaiting() {
  CacheLock cache;
  std::vector<DeviceKey> keep;
  {
    std::lock_guard<std::mutex> writes(TheWrites().lock);
    const int64_t now = posix::MonotonicNs();
    for (Control& control : TheWrites().controls) {
      if (control.pacer.TakeTurn(now)) {
        const DeviceKey notSent = Send(&control);
        if (!notSent.name.empty()) keep.push_back(notSent);
      }
      SendBy(control.pacer.DueAt());
    }
  }
  for (const DeviceKey& device : keep) KeepForReturn(device);
}

void DropWrites() {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  TheWrites().controls.clear();
}

}  // namespace pulse
