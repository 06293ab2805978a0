// The cache of the server's devices, streams, clients and defaults, kept current on the main
// loop's thread by the answers to what it asks for (queries.h), so that reading a volume never
// waits for the server; and the lists of every device and application seen (remembered.h).
//
// Its lock, CacheLock, guards all of it. The callers hold it for a whole mixer call, and the
// main loop's thread while it stores an answer, so what a call sees never changes under it.
// Order: the main loop's lock, then the cache's, then the kept values' (kept.h), then the
// writes' (writes.h).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/pulse/types.h"
#include "platform/remembered.h"

namespace pulse {

// Holds the cache's lock for as long as it lives.
class CacheLock {
 public:
  CacheLock();
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
};

// Hold the cache's lock for these.
// The server's device of that name; null when it is not there.
const Device* ServerDevice(const DeviceKey& key);
// The server's default output's or input's name; empty when it has none.
const std::string& DefaultName(bool isSink);
// An application's streams now playing, in index order.
std::vector<const Stream*> StreamsOf(const std::string& application);
// Every device (by its DeviceID) and every application ever seen, in the order first seen.
const std::vector<Remembered>& ListedDevices();
const std::vector<Remembered>& ListedApplications();
// A listed device's channels when it was last there; null when never seen with valid ones.
const pa_channel_map* SeenMap(const std::string& id);
// A write the server took: the cache has the value at once, before the change event confirms it.
void TakeVolume(const DeviceKey& device, uint32_t stream, const pa_cvolume& volume);

// The main loop's side; each takes the cache's lock. The server's answers stored: a device seen
// for the first time is listed, and what was kept for it (kept.h) may now go to it; a stream is
// its application's, listed when new. StoreStream is false, storing nothing, while the stream's
// client is still to be asked for its name; a client that cannot be asked names nothing.
void StoreDevice(const pa_sink_info& sink);
void StoreDevice(const pa_source_info& source);
void StoreDefaults(const pa_server_info& server);
void StoreClient(const pa_client_info& client);
bool StoreStream(const pa_sink_input_info& input);
void NamesNothing(uint32_t client);
// A device, stream or client the server removed, or a client that changed (asked for again
// when a stream of it needs its name).
void Forget(unsigned facility, uint32_t index);
// Takes up what other programs of ours added to the lists.
void LoadLists();
// The connection is gone: forgets the server; keeps the lists.
void ForgetServer();

}  // namespace pulse
