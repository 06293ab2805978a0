// The writes on their way: a control per master line or stream written to, its newest value,
// and the one write of it the server has not answered yet. The caller's thread hands values
// over and wakes the main loop, which sends them and takes the server's answers.
#include "platform/pulse/writes.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pulse/cache.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/kept.h"

namespace pulse {
namespace {

// A control written to: the newest value the caller gave, and whether the server has it yet.
struct Control {
  uint64_t id;  // what the server's answer to a write names
  DeviceKey device;
  uint32_t stream;  // PA_INVALID_INDEX for a master line
  pa_cvolume newest;
  pa_cvolume sent;
  bool inFlight;
  bool waiting;  // newest is still to be sent
};

struct Writes {
  std::mutex lock;  // guards the rest
  std::vector<Control> controls;
  uint64_t nextControl = 1;
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

// Sends the control's newest value; a device or stream gone meanwhile takes nothing. On the
// loop's thread, holding the cache's and the writes' locks. The device to keep the value for
// when nothing was sent.
DeviceKey Send(Control* control) {
  control->waiting = false;
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
  control->inFlight = operation != nullptr;
  if (operation == nullptr) return ToKeepForReturn(*control);
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
      control->inFlight = false;
      if (success) TakeVolume(control->device, control->stream, control->sent);
      if (!success) keep = ToKeepForReturn(*control);
      if (control->waiting) {
        const DeviceKey notSent = Send(control);
        if (!notSent.name.empty()) keep = notSent;
      }
    }
  }
  if (!keep.name.empty()) KeepForReturn(keep);
  WakeWaiters();
}

}  // namespace

void Hand(const DeviceKey& device, uint32_t stream, const pa_cvolume& volume) {
  Writes& w = TheWrites();
  std::lock_guard<std::mutex> writes(w.lock);
  Control* control = FindControl(device, stream);
  if (control == nullptr) {
    w.controls.push_back(Control{w.nextControl++, device, stream, volume, volume, false, false});
    control = &w.controls.back();
  }
  control->newest = volume;
  control->waiting = true;
  if (!control->inFlight) WakeLoop();
}

pa_cvolume Seen(const Device& device, const Stream* stream) {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  const Control* control = stream ? FindControl(DeviceKey{}, stream->index)
                                  : FindControl(KeyOf(device), PA_INVALID_INDEX);
  if (control != nullptr && (control->inFlight || control->waiting)) return control->newest;
  return stream ? stream->volume : device.volume;
}

bool WritesOnTheirWay() {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  const auto& controls = TheWrites().controls;
  return std::any_of(controls.begin(), controls.end(),
                     [](const Control& control) { return control.inFlight || control.waiting; });
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
    for (Control& control : TheWrites().controls) {
      if (!control.waiting || control.inFlight) continue;
      const DeviceKey notSent = Send(&control);
      if (!notSent.name.empty()) keep.push_back(notSent);
    }
  }
  for (const DeviceKey& device : keep) KeepForReturn(device);
}

void DropWrites() {
  std::lock_guard<std::mutex> writes(TheWrites().lock);
  TheWrites().controls.clear();
}

}  // namespace pulse
