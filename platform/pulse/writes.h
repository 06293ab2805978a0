// The writes on their way to the server, sent behind the caller: at most one write per control
// (a device's master line, or one stream) on its way, the newest waiting value following when
// it is answered, so the last value always lands and the caller never waits for the server.
// While a knob keeps turning, a control's writes are paced (platform/write_pacer.h): a value
// that may not go yet waits for the link's timer, newer ones replacing it. Part of the Server,
// under its lock.
#pragma once

#include <vector>

#include "platform/pulse/cache.h"
#include "platform/pulse/link.h"
#include "platform/pulse/types.h"
#include "platform/write_pacer.h"

namespace pulse {

class Writes {
 public:
  explicit Writes(Link& link, int64_t intervalNs = WriteIntervalNs())
      : link_(link), intervalNs_(intervalNs) {}

  // Takes a checked value for a device's master line (stream PA_INVALID_INDEX) or for one
  // stream: sent at once when its control's pacer lets it, else it replaces whatever waits and
  // follows the answer or the timer. The device must be in the cache now.
  void Hand(const Locked& locked, const Cache& cache, DeviceName device, uint32_t stream,
            const pa_cvolume& volume);

  // The volume the caller sees for a master line or a stream: its own newest write until the
  // server has it, else what the cache has.
  pa_cvolume Seen(const Device& device, const Stream* stream) const;

  // Whether a write is still waiting or on its way.
  bool OnTheirWay() const;

  // The server's answer to a write: the cache takes the value written (the change event that
  // follows only confirms it, and a read in between must not see the old one), and the value
  // waiting goes next. A master line's value that its device took nothing of, having gone away
  // meanwhile, is to wait for the device's return: its devices are added to *toKeep.
  void Written(const Locked& locked, Cache& cache, uint64_t ticket, bool success,
               std::vector<DeviceKey>* toKeep);
  // The link's timer: sends every value whose turn has come, as Written adds to *toKeep.
  void SendDue(const Locked& locked, const Cache& cache, std::vector<DeviceKey>* toKeep);

  // The stream is gone: its control goes with it, and an answer still on its way is dropped.
  void ForgetStream(uint32_t stream);
  // The server is gone: so is every write on its way.
  void Drop() {
    controls_.clear();
    timerDueNs_ = WritePacer::NEVER;
  }

 private:
  // A control written to: the newest value the caller gave, and whether the server has it yet.
  struct Control {
    uint64_t ticket;  // what the server's answer to a write names
    DeviceKey device;
    uint32_t stream;  // PA_INVALID_INDEX for a master line
    pa_cvolume newest;
    pa_cvolume sent;
    WritePacer pacer;  // whether newest waits to be sent, and when it may go
  };

  Control* Find(DeviceName device, uint32_t stream);
  const Control* Find(DeviceName device, uint32_t stream) const;
  // Sends the control's newest value if its turn has come, else sets the timer for it; false
  // when its device has gone meanwhile.
  bool SendInTurn(const Locked& locked, const Cache& cache, Control* control);
  bool Send(const Locked& locked, const Cache& cache, Control* control);

  Link& link_;
  int64_t intervalNs_;
  int64_t timerDueNs_ = WritePacer::NEVER;
  std::vector<Control> controls_;
  uint64_t nextTicket_ = 1;
};

}  // namespace pulse
