// What the PulseAudio mixer knows, shared by its files: the connection to the server, the
// cache of the server's devices and streams that its change events keep current, the writes
// on their way, and the callers' open handles. The winmm face (mixer.cpp) answers from it; the
// line model (lines.h) says which devices and lines it makes of it; the main loop's thread
// (connection, cache, writes) keeps it current.
//
// Two locks: the main loop's own, held by its thread while it talks to the server, and the
// cache's, held only to read or change the cache. The calls made for every reading take only
// the cache's, so they never wait for the loop's socket I/O; they wake the loop through an
// eventfd when a write is to go. Whoever needs both takes the loop's first. The callers are one
// thread; everything shared with the main loop's thread is guarded by one of the locks.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/pulse/remembered.h"
#include "platform/win32.h"

namespace pulse {

// A server that has not answered by then is treated as gone, so no call ever hangs.
constexpr pa_usec_t ANSWER_TIMEOUT = 2 * PA_USEC_PER_SEC;

// Open handles count up from here, far above any device index, so a handle passed where an
// index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x50410000;

struct Stream {
  uint32_t index;
  std::string application;  // its application's name, as the list has it
  pa_cvolume volume;
  pa_usec_t appeared;
};

// What a mixer device stands for: one of the server's devices (there or not), whichever is
// the server's default output or input, or the applications.
enum class Kind { SERVER, DEFAULT, APPLICATIONS };

struct Device {
  bool isSink;
  uint32_t index;    // PA_INVALID_INDEX for a device not there now
  std::string name;  // pulse's unique name: what a handle holds on to
  std::string description;
  pa_cvolume volume;
  pa_channel_map map;
  Kind kind = Kind::SERVER;
  bool isMonitor = false;  // never a device of its own, but may be the default input
};

struct DeviceKey {
  bool isSink;
  std::string name;
  Kind kind = Kind::SERVER;
};

// The last value written to a device's line, in the channels it was written on, and whether it
// is still to reach the device: one written while the device was away, or while there was no
// default, lands when the device (or a default) comes, and wins over what a session manager
// restores just after.
struct DeviceWrite {
  pa_cvolume volume;
  pa_channel_map map;
  bool waiting;
  pa_usec_t landed = 0;  // when a waiting one went to the device come back
};

// A control written to: the newest value the caller gave, and whether the server has it yet.
// A device's master line, or one stream of an application.
struct Control {
  uint64_t id;  // what the server's answer to a write names
  DeviceKey device;
  uint32_t stream;  // PA_INVALID_INDEX for a master line
  pa_cvolume newest;
  pa_cvolume sent;
  bool inFlight;
  bool waiting;  // newest is still to be sent
};

struct State {
  pa_threaded_mainloop* loop = nullptr;
  bool shutDown = false;
  pa_context* context = nullptr;
  bool listed = false;  // the cache holds the whole server
  int listsPending = 0;
  int queriesPending = 0;
  std::set<std::pair<unsigned, uint32_t>> changed;  // facility and index, still to ask for
  pa_time_event* refresh = nullptr;                 // set while some are
  std::map<uint32_t, Device> sinks, sources;        // by pulse index
  std::map<uint32_t, Stream> streams;
  std::map<uint32_t, std::string> clients;       // each client's application name, by pulse index
  std::map<uint32_t, uint32_t> awaitingClients;  // streams taken up once their client's name is in
  std::string defaultSink, defaultSource;        // the server's defaults' names
  std::vector<Control> controls;
  uint64_t nextControl = 1;
  RememberedList devices{StateFilePath("devices"), RememberedList::BY_ID};
  RememberedList applications{StateFilePath("applications"), RememberedList::BY_NAME};
  std::map<std::string, pa_cvolume> written;        // the last value written to each application
  std::map<std::string, DeviceWrite> deviceWrites;  // by the devices list's id
  DeviceWrite defaultWrites[2] = {};                // to the default input, output
  // The device each default line's value was last read from, by name: "" for none.
  std::string defaultShown[2];
  std::map<std::string, Device> absent;            // stand-ins for listed devices not there now
  std::map<std::string, pa_channel_map> seenMaps;  // each device's channels when last there
  std::mutex cacheLock;                            // guards the above from sinks on
  std::atomic<bool> connected{false};
  int wake = -1;                          // an eventfd the loop watches: a write waits to be sent
  std::map<UINT_PTR, DeviceKey> handles;  // the callers' thread's alone
  UINT_PTR nextHandle = FIRST_HANDLE;
};

// Never destroyed: the controller's static SoundLine objects close their handles at exit,
// possibly after the library's own statics would be gone. The connection is released at exit.
inline State& TheState() {
  static State* state = new State;
  return *state;
}

// Wakes whoever waits on the main loop for an answer or a write to land.
inline void Signal() { pa_threaded_mainloop_signal(TheState().loop, 0); }

inline DeviceKey KeyOf(const Device& device) {
  return DeviceKey{device.isSink, device.name, device.kind};
}

// The server's device of that name as the cache holds it (hold its lock); null when gone.
inline const Device* ServerDevice(const DeviceKey& key) {
  if (key.name.empty()) return nullptr;
  for (const auto& entry : key.isSink ? TheState().sinks : TheState().sources) {
    if (entry.second.name == key.name) return &entry.second;
  }
  return nullptr;
}

// The id a device goes by in the devices list.
inline std::string DeviceID(bool isSink, const std::string& name) {
  return (isSink ? "sink:" : "source:") + name;
}

}  // namespace pulse
