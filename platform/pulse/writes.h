// The writes on their way to the server, sent behind the caller: at most one write per control
// (a device's master line, or one stream) on its way, the newest waiting value following when
// it is done, so the last value always lands and the caller never waits for the server.
//
// Their own lock guards the controls; it is taken last, after the cache's (cache.h) and the
// kept values' (kept.h), and nothing else is taken while it is held.
#pragma once

#include "platform/pulse/types.h"

namespace pulse {

// Takes a checked value for a device's master line (stream PA_INVALID_INDEX) or for one stream
// (hold the cache's lock): the loop sends it at once when no write of that control is on its
// way, else it replaces whatever waits and follows when the server has answered.
void Hand(const DeviceKey& device, uint32_t stream, const pa_cvolume& volume);

// The volume the caller sees for a master line or a stream (hold the cache's lock): its own
// newest write until the server has it, else what the cache has.
pa_cvolume Seen(const Device& device, const Stream* stream);

// Whether a write is still waiting or on its way.
bool WritesOnTheirWay();

// The stream is gone: its control goes with it, and an answer still on its way is dropped.
void ForgetStream(uint32_t stream);

// The connection's side, on the main loop's thread: sends every waiting value (takes the
// cache's lock); forgets every control once the server is gone.
void SendWaiting();
void DropWrites();

}  // namespace pulse
