// What the parts of the PulseAudio mixer pass between them: the server's devices and streams as
// the cache holds them, and how a handle names a device. No state lives here: it is all the
// Server's (server.h), under its one lock.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace pulse {

// A server that has not answered by then is treated as gone, so no call ever hangs.
constexpr pa_usec_t ANSWER_TIMEOUT = 2 * PA_USEC_PER_SEC;

// What a volume is set on, and what the server removes: an output, an input, or a stream.
enum class Facility { SINK, SOURCE, STREAM };

struct Stream {
  uint32_t index;
  std::string application;  // its application's name, as the list has it
  pa_cvolume volume;
  int64_t appearedNs;
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

// What a handle holds on to: a device by its name, which stays while its index moves.
struct DeviceKey {
  bool isSink;
  std::string name;
  Kind kind = Kind::SERVER;
};

// A server's device named without a copy of its name, for lookups on every reading. Valid while
// what it was made from is.
struct DeviceName {
  bool isSink;
  std::string_view name;
};

// Orders what names a server's device (DeviceKey, DeviceName) by output or input and name, so
// that a map keyed by one is searched with the other, without a copy.
struct NameOrder {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return a.isSink != b.isSink ? a.isSink < b.isSink
                                : std::string_view(a.name) < std::string_view(b.name);
  }
};

inline DeviceKey KeyOf(const Device& device) {
  return DeviceKey{device.isSink, device.name, device.kind};
}
inline DeviceName NameOf(const Device& device) { return DeviceName{device.isSink, device.name}; }
inline DeviceName NameOf(const DeviceKey& key) { return DeviceName{key.isSink, key.name}; }

// The id a device goes by in the devices list.
inline std::string DeviceID(bool isSink, std::string_view name) {
  std::string id = isSink ? "sink:" : "source:";
  return id.append(name);
}

}  // namespace pulse
