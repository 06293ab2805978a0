// winmm's mixer functions of the Linux programs: one Server over the libpulse connection,
// made on the first call, ending its connection at exit once the last writes landed.
#include <chrono>
#include <cstdlib>

#include "platform/pulse/connection.h"
#include "platform/pulse/pulse.h"
#include "platform/pulse/server.h"

namespace pulse {
namespace {

// The one mixer of the Linux programs. Never destroyed: the controller's static SoundLine
// objects close their handles at exit, possibly after the library's own statics are gone.
Server& TheServer() {
  static Server* server = [] {
    Server* made = new Server(std::make_unique<Connection>());
    atexit([] { TheServer().End(); });
    return made;
  }();
  return *server;
}

}  // namespace

// The clock's time points count as MonotonicNs() does (clock.h).
void LetWritesLand(posix::Clock::time_point deadline) {
  TheServer().LetWritesLand(
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
}

bool ServerThere() { return TheServer().There(); }

}  // namespace pulse

using pulse::TheServer;

extern "C" {

UINT mixerGetNumDevs(void) { return TheServer().GetNumDevs(); }

MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR /*dwInstance*/,
                   DWORD fdwOpen) {
  return TheServer().Open(phmx, uMxId, dwCallback, fdwOpen);
}

MMRESULT mixerClose(HMIXER hmx) { return TheServer().Close(hmx); }

MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  return TheServer().GetDevCaps(uMxId, pmxcaps, cbmxcaps);
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  return TheServer().GetLineInfo(hmxobj, pmxl, fdwInfo);
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc, DWORD fdwControls) {
  return TheServer().GetLineControls(hmxobj, pmxlc, fdwControls);
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  return TheServer().GetControlDetails(hmxobj, pmxcd, fdwDetails);
}

MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  return TheServer().SetControlDetails(hmxobj, pmxcd, fdwDetails);
}

}  // extern "C"
