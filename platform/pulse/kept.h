// What callers wrote to each line, kept: a device's last value, for when it comes back if it is
// away; a default line's, for when there is a default again; an application's, for the streams
// it starts later. The values that are to reach a device (or a stream) as it appears go from
// here to the writes (writes.h). Part of the Server, under its lock.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/pulse/cache.h"
#include "platform/pulse/types.h"
#include "platform/pulse/writes.h"

namespace pulse {

class Kept {
 public:
  Kept(const Cache& cache, Writes& writes) : cache_(cache), writes_(writes) {}

  // The callers' side: a line's new value. A device's master line's is kept for when it comes
  // back, if it is away; a default line's goes to the default now, mapped onto its channels
  // keeping the balance; an application's to every stream it has now and every one it starts
  // later.
  void WriteDevice(const Locked& locked, const Device& device, const pa_cvolume& volume);
  void WriteDefault(const Locked& locked, bool isSink, const pa_cvolume& volume);
  void WriteApplication(const Locked& locked, std::string_view name, const pa_cvolume& volume);
  // A caller read a default line's value. Its next write carries the balance of the device
  // read; if the default changed since, the new default keeps its own balance instead.
  void DefaultShown(bool isSink);

  // The last value written to a listed device, on the channels it was written on; false when
  // none was.
  bool KeptForDevice(DeviceName device, pa_cvolume* volume, pa_channel_map* map) const;
  // The last value written to a default line, else full volume on two channels.
  pa_cvolume KeptForDefault(bool isSink) const;
  // The last value written to an application's line; false when none was.
  bool KeptForApplication(std::string_view name, pa_cvolume* volume) const;

  // The cache's side: a device, the server's defaults or a stream were stored. A value written
  // while the device (or any default) was away now goes to it, and one written just before
  // wins over what a session manager restores just after; a stream that starts after its
  // application's line was written takes that value.
  void DeviceStored(const Locked& locked, const Device& device, int64_t nowNs);
  void DefaultsStored(const Locked& locked, int64_t nowNs);
  void StreamStored(const Locked& locked, const Stream& stream, int64_t nowNs);

  // The writes' side: the device took nothing of its last value, having gone away meanwhile; the
  // value waits for its return.
  void KeepForReturn(DeviceName device);

 private:
  // The last value written to a device's line, in the channels it was written on, and whether it
  // is still to reach the device: one written while the device was away, or while there was no
  // default, lands when the device (or a default) comes, and wins over what a session manager
  // restores just after.
  struct DeviceWrite {
    pa_cvolume volume;
    pa_channel_map map;
    bool waiting;
    int64_t landedNs = INT64_MIN / 2;  // when a waiting one went to the device come back
  };

  void Keep(DeviceName device, const DeviceWrite& write);
  void WriteDefault(const Locked& locked, bool isSink, const pa_cvolume& volume, int64_t landedNs);

  const Cache& cache_;
  Writes& writes_;
  std::map<DeviceKey, DeviceWrite, NameOrder> devices_;
  DeviceWrite defaults_[2] = {};  // to the default input, output
  std::string defaultShown_[2];   // the device each default line was last read from
  std::map<std::string, pa_cvolume, std::less<>> applications_;  // by the application's name
};

}  // namespace pulse
