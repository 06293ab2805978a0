// The pulse face's one lock, the proof of holding it, and the narrow link to the sound server
// that the rules need: set a volume by index, reach the server, the clock. What comes back
// (devices, streams, defaults, answers to writes) arrives as calls on the Server (server.h),
// made with the lock held. The libpulse link is connection.h's; tests drive a fake one.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/pulse/types.h"

namespace pulse {

class Link;
class Server;

// Proof that the one lock is held: only a Hold, or a link running its server's callbacks under
// the lock, makes one. A function that needs the lock takes a `const Locked&`, so a call
// without the lock does not compile.
class Locked {
 public:
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Locked() = default;
  friend class Hold;
  friend class Link;
};

// What the lock guards, reachable only with the proof.
template <typename T>
class Guarded {
 public:
  template <typename... Arguments>
  explicit Guarded(Arguments&&... arguments) : value_(std::forward<Arguments>(arguments)...) {}
  T& With(const Locked&) { return value_; }
  const T& With(const Locked&) const { return value_; }

 private:
  T value_;
};

class Link {
 public:
  virtual ~Link() = default;

  // The one lock: the main loop's own, held by the loop's thread whenever it tells the server
  // something, and by a caller for a whole mixer call.
  virtual void Lock() = 0;
  virtual void Unlock() = 0;

  // Where the server's news go; set once, before the first call.
  void Attach(Server* server) { server_ = server; }

  // Connects when there is no connection, listing everything; with `roundTrip`, also waits
  // until every change the server told before is in and every write of ours has landed. Costs
  // nothing while connected without `roundTrip`. Waits no longer than ANSWER_TIMEOUT. False
  // when there is no server.
  virtual bool Reach(const Locked&, bool roundTrip) = 0;
  // Connected, listed, and not seen failing since.
  virtual bool Online(const Locked&) const = 0;

  // Sends a volume to a device by its index (never by name: the server takes a name of digits
  // for an index) or to a stream. Its answer comes as Server::Written(ticket); false when it
  // could not be sent, and then none comes.
  virtual bool SetVolume(const Locked&, Facility facility, uint32_t index, const pa_cvolume& volume,
                         uint64_t ticket) = 0;

  // Calls Server::SendDue at atNs on the clock, or soon after; a later call replaces it.
  virtual void WakeAt(const Locked&, int64_t atNs) = 0;

  // Nanoseconds on the programs' one monotonic clock.
  virtual int64_t Now() const = 0;

  // Waits until no write of ours is on its way or waiting, the server is gone, or deadlineNs.
  virtual void LetWritesLand(const Locked&, int64_t deadlineNs) = 0;

  // At exit, without the lock: lets the last writes land, then lets go of the server for good.
  virtual void End() = 0;

 protected:
  // For a link's callbacks, which the link runs with the lock held.
  static const Locked& Held() {
    static const Locked held;
    return held;
  }
  Server* server_ = nullptr;
};

// Holds the one lock for as long as it lives, and is the proof of it.
class Hold {
 public:
  explicit Hold(Link& link) : link_(link) { link_.Lock(); }
  ~Hold() { link_.Unlock(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  operator const Locked&() const { return locked_; }

 private:
  Link& link_;
  Locked locked_;
};

}  // namespace pulse
