// The line model: which mixer devices and lines the server's devices and applications make,
// in which order, with which line IDs, and what a line's volume is. Functions of what the cache
// holds and what was written to the lines (kept.h, writes.h), with no effects of their own.
// Part of the Server, under its lock.
#pragma once

#include <cstddef>
#include <string>

#include "platform/pulse/cache.h"
#include "platform/pulse/kept.h"
#include "platform/pulse/types.h"
#include "platform/pulse/writes.h"

namespace pulse {

class Lines {
 public:
  Lines(const Cache& cache, const Kept& kept, const Writes& writes)
      : cache_(cache), kept_(kept), writes_(writes) {}

  // The devices in mixer order: the default output and input, then every output and every
  // input that is not a monitor ever seen, in the order first seen, there or not, then the
  // applications' device, with one line per application ever seen, playing or not. So no
  // number depends on what is plugged in or plays, and one moves only when a device is seen for
  // the very first time.
  size_t DeviceCount() const;
  // The device at that place; a listed device that is away is made in *standIn, which the
  // result then points at. Null past the last place.
  const Device* DeviceAt(size_t place, Device* standIn) const;

  // The device a handle holds on to, as the cache has it now; a listed device that is away is
  // made in *standIn. Null for one that is in no list.
  const Device* FindDevice(const DeviceKey& key, Device* standIn) const;

  // A device's destination lines: its master line, or one per application.
  DWORD Destinations(const Device& device) const;

  // The destination with that line ID on the device: false when it has none. Line IDs are fixed
  // per line (the master's, or the application's place in the list), so a line that has gone
  // away answers with an error instead of handing its number to another.
  bool FindLine(const Device& device, DWORD lineID, DWORD* destination) const;
  DWORD LineID(const Device& device, DWORD destination) const;
  const std::string& LineName(const Device& device, DWORD destination) const;

  // A line's volume: a device's master line's; a default line's on two channels, front left and
  // right, whatever the default has; an application's first stream's. A line with nothing
  // there to read gives the last value written to it, else full volume on two channels.
  // `channels`, a caller's record's count: 2 carries a device's value onto two channels, for a
  // line opened while its device was away, when the device came back with other channels.
  pa_cvolume LineVolume(const Device& device, DWORD destination, DWORD channels = 0) const;
  // How many channels LineVolume gives, without working out their values.
  uint8_t LineChannels(const Device& device, DWORD destination, DWORD channels = 0) const;

 private:
  const Device* StandIn(const Remembered& listed, Device* standIn) const;

  const Cache& cache_;
  const Kept& kept_;
  const Writes& writes_;
};

}  // namespace pulse
