// The line model: which mixer devices and lines the server's devices and applications make,
// in which order, with which line IDs, and what a line's volume is and where a value written
// to it goes. Apart from how the server is reached: it reads the cache and hands writes over.
// All of it with the cache's lock held.
#pragma once

#include <string>
#include <vector>

#include "platform/pulse/state.h"

namespace pulse {

// Every device in mixer order: the default output and input, then every output and every input
// that is not a monitor ever seen, in the order first seen, there or not, then the
// applications' device, with one line per application ever seen, playing or not. So no number
// depends on what is plugged in or plays, and one moves only when a device is seen for the
// very first time.
std::vector<const Device*> Devices();

// The device a handle holds on to, as the cache has it now: a listed device that is not there
// stands in for itself. Null for one that is in no list.
const Device* FindDevice(const DeviceKey& key);

// A device's destination lines: its master line, or one per application.
DWORD Destinations(const Device& device);

// The destination with that line ID on the device: false when it has none. Line IDs are fixed
// per line (the master's, or the application's place in the list), so a line that has gone
// away answers with an error instead of handing its number to another.
bool FindLine(const Device& device, DWORD lineID, DWORD* destination);
DWORD LineID(const Device& device, DWORD destination);
const std::string& LineName(const Device& device, DWORD destination);

// A line's volume: a device's master line's; a default line's on two channels, front left and
// right, whatever the default has; an application's first stream's. A line with nothing
// there to read gives the last value written to it, else full volume on two channels.
// `channels`, a caller's record's count: 2 carries a device's value onto two channels, for a
// line opened while its device was away, when the device came back with other channels.
pa_cvolume LineVolume(const Device& device, DWORD destination, DWORD channels = 0);

// A caller read a line's value. A default line's next write carries the balance of the device
// read; if the default changed since, the new default keeps its own balance instead.
void LineShown(const Device& device);

// A line's new value: a device's master line's (for when it comes back, if it is away), the
// default's now, mapped onto its channels keeping the balance, or an application's, for every
// stream it has now and every one it starts later.
void WriteLine(const Device& device, DWORD destination, const pa_cvolume& volume);

// The cache's side. The name a stream of that application goes by, the application added to
// the list when new (the list may cut or clean a name for its file).
std::string ApplicationOf(const std::string& name);
// A stream was stored: one that starts after its application's line was written takes that
// value.
void StreamStored(const Stream& stream, pa_usec_t now);
// A device, or the server's defaults, were stored: a device seen for the first time is
// listed, and a value written while it (or any default) was away now goes to it.
void DeviceStored(const Device& device);
void DefaultsStored();

}  // namespace pulse
