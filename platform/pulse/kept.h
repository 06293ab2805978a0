// What callers wrote to each line, kept: a device's last value, for when it comes back if it is
// away; a default line's, for when there is a default again; an application's, for the streams
// it starts later. The values that are to reach a device (or a stream) as it appears go from
// here to the writes (writes.h).
//
// Their own lock guards them; it is taken after the cache's (cache.h), before the writes'.
#pragma once

#include <string>

#include "platform/pulse/types.h"

namespace pulse {

// The callers' side, holding the cache's lock. A line's new value: a device's master line's
// (kept for when it comes back, if it is away), the default's now, mapped onto its channels
// keeping the balance, or an application's, for every stream it has now and every one it starts
// later.
void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume);
// A caller read a line's value. A default line's next write carries the balance of the device
// read; if the default changed since, the new default keeps its own balance instead.
void LineShown(const Device& device);
// The last value written to a listed device (by DeviceID), on the channels it was written on;
// false when none was.
bool KeptForDevice(const std::string& id, pa_cvolume* volume, pa_channel_map* map);
// The last value written to a default line, else full volume on two channels.
pa_cvolume KeptForDefault(bool isSink);
// The last value written to an application's line; false when none was.
bool KeptForApplication(const std::string& name, pa_cvolume* volume);

// The cache's side, on the main loop's thread holding the cache's lock. A device, the server's
// defaults or a stream were stored: a value written while the device (or any default) was away
// now goes to it, and one written just before wins over what a session manager restores just
// after; a stream that starts after its application's line was written takes that value.
void DeviceStored(const Device& device);
void DefaultsStored();
void StreamStored(const Stream& stream, pa_usec_t now);

// The writes' side: the device took nothing of its last value, having gone away meanwhile; the
// value waits for its return.
void KeepForReturn(const DeviceKey& device);

}  // namespace pulse
