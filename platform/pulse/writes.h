// The writes on their way to the server, sent behind the caller: at most one write per control
// on its way, the newest waiting value following when it is done, so the last value always
// lands and the caller never waits for the server.
#pragma once

#include "platform/pulse/state.h"

namespace pulse {

// Takes a checked value for a device's master line (stream PA_INVALID_INDEX) or for one stream
// (hold the cache's lock): the loop sends it at once when no write of that control is on its
// way, else it replaces whatever waits and follows when the server has answered.
void WriteControl(const DeviceKey& key, uint32_t stream, const pa_cvolume& volume);
void WriteStream(uint32_t stream, const pa_cvolume& volume);

// The volume the caller sees for a master line or a stream (hold the cache's lock): its own
// newest write until the server has it.
pa_cvolume Seen(const Device& device, const Stream* stream);

// Whether a write is still waiting or on its way; takes the cache's lock.
bool WritesOnTheirWay();

// The main loop's side of the eventfd a write wakes it with: sends every waiting value.
void OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*);

}  // namespace pulse
