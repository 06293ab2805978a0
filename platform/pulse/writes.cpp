// The writes on their way: a control per master line or stream written to, its newest value,
// and the one write of it the server has not answered yet.
#include "platform/pulse/writes.h"

#include <algorithm>

namespace pulse {

Writes::Control* Writes::Find(DeviceName device, uint32_t stream) {
  for (Control& control : controls_) {
    if (control.stream == stream && control.device.isSink == device.isSink &&
        control.device.name == device.name) {
      return &control;
    }
  }
  return nullptr;
}

const Writes::Control* Writes::Find(DeviceName device, uint32_t stream) const {
  return const_cast<Writes*>(this)->Find(device, stream);
}

bool Writes::Send(const Locked& locked, const Cache& cache, Control* control) {
  control->sent = control->newest;
  bool sent = false;
  const Device* device = nullptr;
  if (control->stream != PA_INVALID_INDEX) {
    sent =
        link_.SetVolume(locked, Facility::STREAM, control->stream, control->sent, control->ticket);
  } else if ((device = cache.Find(NameOf(control->device))) != nullptr) {
    sent = link_.SetVolume(locked, device->isSink ? Facility::SINK : Facility::SOURCE,
                           device->index, control->sent, control->ticket);
  }
  if (!sent) control->pacer.Answered();
  return control->stream != PA_INVALID_INDEX || device != nullptr;
}

// The link has one timer for all: set for the earliest value waiting its turn.
bool Writes::SendInTurn(const Locked& locked, const Cache& cache, Control* control) {
  const bool there = !control->pacer.TakeTurn(link_.Now()) || Send(locked, cache, control);
  const int64_t due = control->pacer.DueAt();
  if (due != WritePacer::NEVER && due < timerDueNs_) {
    timerDueNs_ = due;
    link_.WakeAt(locked, due);
  }
  return there;
}

void Writes::Hand(const Locked& locked, const Cache& cache, DeviceName device, uint32_t stream,
                  const pa_cvolume& volume) {
  Control* control = Find(device, stream);
  if (control == nullptr) {
    controls_.push_back(Control{nextTicket_++, DeviceKey{device.isSink, std::string(device.name)},
                                stream, volume, volume, WritePacer(intervalNs_)});
    control = &controls_.back();
  }
  control->newest = volume;
  control->pacer.Changed(link_.Now());
  SendInTurn(locked, cache, control);
}

pa_cvolume Writes::Seen(const Device& device, const Stream* stream) const {
  const Control* control =
      stream ? Find(DeviceName{false, {}}, stream->index) : Find(NameOf(device), PA_INVALID_INDEX);
  if (control != nullptr && (control->pacer.OnItsWay() || control->pacer.Waiting())) {
    return control->newest;
  }
  return stream ? stream->volume : device.volume;
}

bool Writes::OnTheirWay() const {
  return std::any_of(controls_.begin(), controls_.end(), [](const Control& control) {
    return control.pacer.OnItsWay() || control.pacer.Waiting();
  });
}

// A value that a server gone away took nothing of is lost with it, as every write on its way is.
void Writes::Written(const Locked& locked, Cache& cache, uint64_t ticket, bool success,
                     std::vector<DeviceKey>* toKeep) {
  const auto found = std::find_if(controls_.begin(), controls_.end(),
                                  [ticket](const Control& c) { return c.ticket == ticket; });
  if (found == controls_.end()) return;
  Control& control = *found;
  control.pacer.Answered();
  const bool master = control.stream == PA_INVALID_INDEX;
  if (success) cache.TakeVolume(NameOf(control.device), control.stream, control.sent);
  if (!success && master && link_.Online(locked)) toKeep->push_back(control.device);
  if (!SendInTurn(locked, cache, &control)) toKeep->push_back(control.device);
}

void Writes::SendDue(const Locked& locked, const Cache& cache, std::vector<DeviceKey>* toKeep) {
  timerDueNs_ = WritePacer::NEVER;
  for (Control& control : controls_) {
    if (!SendInTurn(locked, cache, &control)) toKeep->push_back(control.device);
  }
}

// An application that starts a stream per video would otherwise grow the list searched on every
// reading, and PipeWire may give the index to a new stream.
void Writes::ForgetStream(uint32_t stream) {
  controls_.erase(
      std::remove_if(controls_.begin(), controls_.end(),
                     [stream](const Control& control) { return control.stream == stream; }),
      controls_.end());
}

}  // namespace pulse
