// What the parts of the PulseAudio mixer pass between them: the server's devices and streams as
// the cache holds them, and how a handle names a device. No state lives here; each part keeps
// its own behind its own lock (connection.h, cache.h, writes.h).
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace pulse {

// A server that has not answered by then is treated as gone, so no call ever hangs.
constexpr pa_usec_t ANSWER_TIMEOUT = 2 * PA_USEC_PER_SEC;

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

inline DeviceKey KeyOf(const Device& device) {
  return DeviceKey{device.isSink, device.name, device.kind};
}

// The id a device goes by in the devices list.
inline std::string DeviceID(bool isSink, const std::string& name) {
  return (isSink ? "sink:" : "source:") + name;
}

}  // namespace pulse
