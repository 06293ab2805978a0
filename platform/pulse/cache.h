// The cache of the server's devices, streams and defaults, kept current by what the server
// tells (its answers and change events), so that reading a volume never waits for the server;
// and the lists of every device and application seen (remembered.h). Part of the Server, under
// its lock; plain data with no rules of its own.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pulse/types.h"
#include "platform/remembered.h"

namespace pulse {

class Cache {
 public:
  Cache();

  // The server's device of that name; null when it is not there.
  const Device* Find(DeviceName name) const;
  // The device the default output or input goes to now; null when the server has none, or none
  // we know.
  const Device* DefaultOf(bool isSink) const;
  // An application's streams now playing, in index order: the first, and each in turn.
  const Stream* FirstStreamOf(std::string_view application) const;
  template <typename Visit>
  void ForEachStreamOf(std::string_view application, Visit visit) const {
    for (const auto& entry : streams_) {
      if (entry.second.application == application) visit(entry.second);
    }
  }
  // Every device (by its DeviceID) and every application ever seen, in the order first seen.
  const std::vector<Remembered>& ListedDevices() const { return devices_.All(); }
  const std::vector<Remembered>& ListedApplications() const { return applications_.All(); }
  // A listed device's channels when it was last there; null when never seen with valid ones.
  const pa_channel_map* SeenMap(const std::string& id) const;

  // A device the server told of, listed when seen for the first time. The stand-in output a
  // server makes while it has none is never listed.
  const Device& Store(Device device);
  void StoreDefaults(const char* sink, const char* source);
  // A stream of that application (listed when new); null, storing nothing, for a stream without
  // a volume of its own. Keeps when it appeared.
  const Stream* StoreStream(uint32_t index, const std::string& application,
                            const pa_cvolume& volume, int64_t nowNs);
  // A write the server took: the cache has the value at once, before the change event confirms it.
  void TakeVolume(DeviceName device, uint32_t stream, const pa_cvolume& volume);
  void Forget(Facility facility, uint32_t index);
  // Takes up what other programs of ours added to the lists.
  void LoadLists();
  // The connection is gone: forgets the server; keeps the lists.
  void ForgetServer();

 private:
  std::map<uint32_t, Device> sinks_, sources_;  // by pulse index
  std::map<uint32_t, Stream> streams_;
  std::string defaultSink_, defaultSource_;         // the server's defaults' names
  std::map<std::string, pa_channel_map> seenMaps_;  // each listed device's channels when last there
  RememberedList devices_{StateFilePath("devices"), RememberedList::BY_ID};
  RememberedList applications_{StateFilePath("applications"), RememberedList::BY_NAME};
};

}  // namespace pulse
