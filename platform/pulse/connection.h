// The connection to the sound server and the threaded main loop that talks to it: started on
// first use, (re)made when a call finds it gone, released at exit once the last writes landed.
#pragma once

#include "platform/pulse/state.h"

namespace pulse {

// One mixer call's hold on the cache. Connects first when there is no connection (holding the
// loop's lock only for that); an exact one also brings the cache up to what the server has,
// which costs a round trip: only listing the devices needs it.
class Session {
 public:
  explicit Session(bool exact = false);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

}  // namespace pulse
