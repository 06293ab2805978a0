// The writes on their way: a control per master line or stream written to, its newest value,
// and the one write of it the server has not answered yet. The caller's thread hands values
// over and wakes the main loop, which sends them and takes the server's answers.
#include "platform/pulse/writes.h"

#include <unistd.h>

#include <algorithm>

namespace pulse {
namespace {

Control* FindControl(const DeviceKey& device, uint32_t stream) {
  for (Control& control : TheState().controls) {
    if (control.stream == stream && control.device.isSink == device.isSink &&
        control.device.name == device.name) {
      return &control;
    }
  }
  return nullptr;
}

Control* ControlWithID(uint64_t id) {
  for (Control& control : TheState().controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

void Send(Control* control);

// A master line's value that its device took nothing of, having gone away meanwhile, waits
// for the device to come back, as one written while it was away does. One that a server gone
// away took nothing of is lost with it, as every write on its way is.
void KeepForReturn(const Control& control) {
  const pa_context* context = TheState().context;
  if (control.stream != PA_INVALID_INDEX || context == nullptr ||
      pa_context_get_state(context) != PA_CONTEXT_READY) {
    return;
  }
  const auto written =
      TheState().deviceWrites.find(DeviceID(control.device.isSink, control.device.name));
  if (written != TheState().deviceWrites.end()) written->second.waiting = true;
}

// The server's answer to a write. The cache takes the written value at once: the change
// event that follows only confirms it, and a read in between must not see the old one.
void OnWritten(pa_context*, int success, void* id) {
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  Control* control = ControlWithID(reinterpret_cast<uintptr_t>(id));
  if (control == nullptr) {
    Signal();
    return;
  }
  control->inFlight = false;
  if (!success) KeepForReturn(*control);
  if (success) {
    if (control->stream != PA_INVALID_INDEX) {
      const auto stream = s.streams.find(control->stream);
      if (stream != s.streams.end()) stream->second.volume = control->sent;
    } else {
      for (auto& entry : control->device.isSink ? s.sinks : s.sources) {
        if (entry.second.name == control->device.name) entry.second.volume = control->sent;
      }
    }
  }
  if (control->waiting) Send(control);
  Signal();
}

// Sends the control's newest value; a device or stream gone meanwhile takes nothing. On the
// loop's thread, holding both locks.
void Send(Control* control) {
  State& s = TheState();
  control->waiting = false;
  control->sent = control->newest;
  void* id = reinterpret_cast<void*>(static_cast<uintptr_t>(control->id));
  pa_operation* operation = nullptr;
  if (control->stream != PA_INVALID_INDEX) {
    operation =
        pa_context_set_sink_input_volume(s.context, control->stream, &control->sent, OnWritten, id);
  } else if (const Device* device = ServerDevice(control->device)) {
    // By index: the server takes a name of digits for an index, and a write must never land
    // on another device.
    operation = device->isSink ? pa_context_set_sink_volume_by_index(s.context, device->index,
                                                                     &control->sent, OnWritten, id)
                               : pa_context_set_source_volume_by_index(
                                     s.context, device->index, &control->sent, OnWritten, id);
  }
  control->inFlight = operation != nullptr;
  if (operation != nullptr) pa_operation_unref(operation);
  if (operation == nullptr) KeepForReturn(*control);
}

}  // namespace

void OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
  uint64_t count;
  if (read(fd, &count, sizeof count) < 0) return;
  State& s = TheState();
  std::lock_guard<std::mutex> cache(s.cacheLock);
  if (s.context == nullptr) return;
  for (Control& control : s.controls) {
    if (control.waiting && !control.inFlight) Send(&control);
  }
  // A device gone meanwhile took nothing, and no answer will come to say so.
  Signal();
}

void WriteControl(const DeviceKey& key, uint32_t streamIndex, const pa_cvolume& volume) {
  State& s = TheState();
  Control* control = FindControl(key, streamIndex);
  if (control == nullptr) {
    s.controls.push_back(Control{s.nextControl++, key, streamIndex, volume, volume, false, false});
    control = &s.controls.back();
  }
  control->newest = volume;
  control->waiting = true;
  if (!control->inFlight) {
    const uint64_t one = 1;
    if (write(s.wake, &one, sizeof one) < 0) {
      // The counter is full, so the loop has a wake-up waiting already.
    }
  }
}

void WriteStream(uint32_t stream, const pa_cvolume& volume) {
  WriteControl(DeviceKey{}, stream, volume);
}

pa_cvolume Seen(const Device& device, const Stream* stream) {
  const Control* control = stream ? FindControl(DeviceKey{}, stream->index)
                                  : FindControl(KeyOf(device), PA_INVALID_INDEX);
  if (control != nullptr && (control->inFlight || control->waiting)) return control->newest;
  return stream ? stream->volume : device.volume;
}

bool WritesOnTheirWay() {
  std::lock_guard<std::mutex> cache(TheState().cacheLock);
  const auto& controls = TheState().controls;
  return std::any_of(controls.begin(), controls.end(),
                     [](const Control& control) { return control.inFlight || control.waiting; });
}

}  // namespace pulse
