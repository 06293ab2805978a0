// The PulseAudio mixer as one object: the link to the server (link.h) and, under its one lock,
// the cache of what the server told, the values kept per line, the writes on their way, and the
// callers' handles. Its face is winmm's mixer calls (mixer.cpp); the link tells it what the
// server says. The Linux programs hold one, behind the mixer functions; a test makes its own
// over a fake link.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/cache.h"
#include "platform/pulse/kept.h"
#include "platform/pulse/lines.h"
#include "platform/pulse/link.h"
#include "platform/pulse/types.h"
#include "platform/pulse/writes.h"

namespace pulse {

class Server {
 public:
  explicit Server(std::unique_ptr<Link> link);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // winmm's mixer calls, as mixerGetNumDevs, mixerOpen, ... take and answer them. Only listing
  // the devices (GetNumDevs, Open) and (re)connecting wait for the server, never longer than
  // ANSWER_TIMEOUT; reads answer from the cache, and writes go behind the caller.
  UINT GetNumDevs();
  MMRESULT Open(HMIXER* mixer, UINT index, DWORD_PTR callback, DWORD flags);
  MMRESULT Close(HMIXER mixer);
  MMRESULT GetDevCaps(UINT_PTR object, MIXERCAPSA* caps, UINT size);
  MMRESULT GetLineInfo(HMIXEROBJ object, MIXERLINEA* line, DWORD flags);
  MMRESULT GetLineControls(HMIXEROBJ object, MIXERLINECONTROLSA* controls, DWORD flags);
  MMRESULT GetControlDetails(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags);
  MMRESULT SetControlDetails(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags);

  // Whether a sound server answers now: connects when there is no connection (never starting
  // one), waiting no longer than ANSWER_TIMEOUT; costs nothing while connected.
  bool There();

  // At exit: lets the last writes land, then lets go of the server; no connection is made after.
  void End();

  // Waits until every write on its way or waiting has been answered, the server is gone, or
  // deadlineNs (the one clock) has passed.
  void LetWritesLand(int64_t deadlineNs);

  // The link's side, with the lock held: what the server told. A device or stream is stored
  // (a stream under its application's name, which the link found), the defaults changed,
  // something was removed, a write answered; and the connection's own news.
  void StoreDevice(const Locked& locked, Device device);
  void StoreDefaults(const Locked& locked, const char* sink, const char* source);
  void StoreStream(const Locked& locked, uint32_t index, const std::string& application,
                   const pa_cvolume& volume);
  void Forget(const Locked& locked, Facility facility, uint32_t index);
  void Written(const Locked& locked, uint64_t ticket, bool success);
  // The link's timer: the paced writes whose turn has come go.
  void SendDue(const Locked& locked);
  // Takes up what other programs of ours added to the lists of devices and applications.
  void LoadLists(const Locked& locked);
  // The connection is gone: forgets the server and the writes on their way; keeps the lists
  // and the values kept per line.
  void ServerGone(const Locked& locked);
  bool WritesOnTheirWay(const Locked& locked) const;

 private:
  struct State {
    explicit State(Link& link) : writes(link), kept(cache, writes), lines(cache, kept, writes) {}
    Cache cache;
    Writes writes;
    Kept kept;
    Lines lines;
    std::map<UINT_PTR, DeviceKey> handles;  // the callers' open handles, each naming its device
    UINT_PTR nextHandle;
  };

  // A call on a device: the checks of its record and flags (`checked`) first, then the
  // server reached, the lock taken and the object resolved; then `answer` with the device.
  template <typename Answer>
  MMRESULT OnDevice(MMRESULT checked, UINT_PTR object, DWORD flags, Answer answer);
  MMRESULT Resolve(const Locked& locked, UINT_PTR object, DWORD flags, Device* standIn,
                   const Device** device);
  void FillLine(const Locked& locked, const Device& device, DWORD destination, MIXERLINEA* line);
  void KeepForReturn(const Locked& locked, const std::vector<DeviceKey>& devices);

  std::unique_ptr<Link> link_;
  Guarded<State> state_;
};

}  // namespace pulse
