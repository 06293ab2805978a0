// What the Windows mixer face needs of Core Audio, and no more: the default endpoints' channel
// volumes, and the sessions of every render endpoint with what names their process and their
// volumes. The COM glue (platform/windows/core_audio.cpp) serves it on the one thread that owns
// every COM object; the rules above it (lines.h) run against a fake of it in unit tests.
#pragma once

#include <cstdint>

namespace coreaudio {

// Core Audio's volumes are scalars, 0..1, per channel. An endpoint of more channels than this
// has the rest left as they are.
constexpr uint32_t MAX_LEVELS = 32;

struct Levels {
  uint32_t count = 0;  // 0: none given
  float level[MAX_LEVELS] = {};
};

enum EndpointFlow { RENDER = 0, CAPTURE = 1 };

// A session as one scan saw it. The texts are UTF-8, "" when Core Audio gave none.
struct SessionFacts {
  const char* instance;    // tells this session from every other for as long as it lives
  const char* identifier;  // "<device id>|<executable's NT path>%b{...}": the same for every
                           // session of one executable
  const char* imagePath;   // the executable of the session's one process
  bool systemSounds;
};

// Called for each session a scan finds, with the number that names it until the next scan.
typedef void (*SessionSeen)(void* context, int session, const SessionFacts& facts);

class AudioSystem {
 public:
  // The default endpoint's channel volumes (console role) and which endpoint it is now (a
  // number that changes when the default moves to another); false when there is none.
  virtual bool ReadDefault(EndpointFlow flow, Levels* levels, uint32_t* endpoint) = 0;
  // Sets the default endpoint's first levels.count channels; false when it failed.
  virtual bool WriteDefault(EndpointFlow flow, const Levels& levels) = 0;
  // Takes a new snapshot of the sessions of every active render endpoint, telling each.
  virtual void ScanSessions(SessionSeen seen, void* context) = 0;
  // A session's master volume and its channel volumes (count 0 when it gives none).
  virtual bool ReadSession(int session, float* master, Levels* channels) = 0;
  // Sets a session's master and, when channels.count is not 0, its first channels.
  virtual bool WriteSession(int session, float master, const Levels& channels) = 0;

 protected:
  ~AudioSystem() = default;
};

}  // namespace coreaudio
