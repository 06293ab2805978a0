// The Windows multimedia mixer (winmm's mixer* functions) over a PulseAudio server, or
// PipeWire's pulse server, presented the way Windows presents audio endpoints to winmm: the
// devices and lines of the line model (lines.h), each line with one volume control, 0..65535
// in 100 steps. Record sizes, flags, handles and written values are checked by winmm's rules
// (platform/winmm_rules.h), as the simulated mixer checks them.
//
// The controller calls the mixer once or twice per reading, up to 2,304 times a second, so
// the server is never waited for on that path: reading a volume answers from the cache
// (cache.h), and a write is checked at once, kept for its line (kept.h) and sent behind the
// caller (writes.h). Only
// listing the devices (mixerGetNumDevs, mixerOpen) and (re)connecting wait for the server
// (connection.h), never longer than ANSWER_TIMEOUT. A handle remembers its device by pulse
// name, so it keeps naming the same device while others come and go, and again once the
// server is back; while the device is away the handle still works, its writes kept for the
// device's return. A handle on a default device follows the server's default. No server is
// ever started (no autospawn).
#include <cstring>
#include <map>
#include <string>

#include "platform/pulse/cache.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/kept.h"
#include "platform/pulse/lines.h"
#include "platform/pulse/pulse.h"
#include "platform/winmm_rules.h"

using namespace pulse;

namespace {

constexpr DWORD VOLUME_STEPS = 100;

// Open handles count up from here, far above any device index, so a handle passed where an
// index may stand is never taken for one.
constexpr UINT_PTR FIRST_HANDLE = 0x50410000;

// The callers' open handles, each naming its device; the callers' thread's alone.
struct Handles {
  std::map<UINT_PTR, DeviceKey> open;
  UINT_PTR next = FIRST_HANDLE;
};

// Never destroyed: the controller's static SoundLine objects close their handles at exit,
// possibly after the library's own statics would be gone.
Handles& TheHandles() {
  static Handles* handles = new Handles;
  return *handles;
}

// Finds the device a call names in the cache (hold its lock); one that is away is made in
// *standIn. The device, or the whole server, has gone away when the cache does not hold a
// handle's device.
MMRESULT Resolve(UINT_PTR object, DWORD flags, Device* standIn, const Device** device) {
  const auto& handles = TheHandles().open;
  const auto open = handles.find(object);
  const MMRESULT named = winmm::CheckObject(flags, open != handles.end());
  if (named != MMSYSERR_NOERROR) return named;
  if (open != handles.end()) {
    *device = Online() ? FindDevice(open->second, standIn) : nullptr;
    return *device != nullptr ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  const MMRESULT index = winmm::CheckIndex(object, Online() ? DeviceCount() : 0);
  if (index == MMSYSERR_NOERROR) *device = DeviceAt(object, standIn);
  return index;
}

void FillLine(const Device& device, DWORD destination, MIXERLINEA* line) {
  winmm::ClearLine(line);
  line->dwDestination = destination;
  line->dwLineID = LineID(device, destination);
  line->fdwLine = MIXERLINE_LINEF_ACTIVE;
  line->dwComponentType = device.isSink || device.kind == Kind::APPLICATIONS
                              ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS
                              : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  line->cChannels = LineVolume(device, destination).channels;
  line->cConnections = 0;
  line->cControls = 1;
  const std::string& name = LineName(device, destination);
  winmm::CopyName(line->szShortName, name);
  winmm::CopyName(line->szName, name);
  winmm::CopyName(line->Target.szPname, device.description);
}

// The line a details call names by its control's ID (hold the cache's lock), and that line's
// volume.
MMRESULT FindDetails(HMIXEROBJ object, const MIXERCONTROLDETAILS* details, DWORD flags,
                     Device* standIn, const Device** device, DWORD* destination,
                     pa_cvolume* volume) {
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(object), flags, standIn, device);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  if (!FindLine(**device, details->dwControlID, destination)) return MIXERR_INVALCONTROL;
  *volume = LineVolume(**device, *destination, details->cChannels);
  return winmm::DetailsFit(details, volume->channels) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

// The checks of a call's record and flags, which come before its object.
MMRESULT CheckDetailsCall(const MIXERCONTROLDETAILS* details, DWORD flags) {
  const MMRESULT result = winmm::CheckDetailsRecord(details);
  return result != MMSYSERR_NOERROR ? result : winmm::CheckDetailsFlags(flags);
}

}  // namespace

extern "C" {

UINT mixerGetNumDevs(void) {
  SyncWithServer();
  CacheLock cache;
  return Online() ? static_cast<UINT>(DeviceCount()) : 0;
}

MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR /*dwInstance*/,
                   DWORD fdwOpen) {
  // Nothing is ever posted to a window: the cache follows the server's changes by itself.
  const MMRESULT checked = winmm::CheckOpen(phmx, dwCallback, fdwOpen);
  if (checked != MMSYSERR_NOERROR) return checked;
  SyncWithServer();
  CacheLock cache;
  const MMRESULT index = winmm::CheckIndex(uMxId, Online() ? DeviceCount() : 0);
  if (index != MMSYSERR_NOERROR) return index;
  Device standIn;
  Handles& handles = TheHandles();
  const UINT_PTR handle = handles.next++;
  handles.open[handle] = KeyOf(*DeviceAt(uMxId, &standIn));
  *phmx = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER hmx) {
  return TheHandles().open.erase(reinterpret_cast<UINT_PTR>(hmx)) == 1 ? MMSYSERR_NOERROR
                                                                       : MMSYSERR_INVALHANDLE;
}

MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  const MMRESULT checked = winmm::CheckCapsRecord(pmxcaps);
  if (checked != MMSYSERR_NOERROR) return checked;
  ReachServer();
  CacheLock cache;
  Device standIn;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(uMxId, MIXER_OBJECTF_MIXER, &standIn, &device);
  if (result != MMSYSERR_NOERROR) return result;
  MIXERCAPSA caps;
  memset(&caps, 0, sizeof caps);
  winmm::CopyName(caps.szPname, device->description);
  caps.cDestinations = Destinations(*device);
  winmm::CopyCaps(caps, pmxcaps, cbmxcaps);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  MMRESULT result = winmm::CheckLineRecord(pmxl);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckLineInfoFlags(fdwInfo);
  if (result != MMSYSERR_NOERROR) return result;
  ReachServer();
  CacheLock cache;
  Device standIn;
  const Device* device = nullptr;
  result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwInfo, &standIn, &device);
  if (result != MMSYSERR_NOERROR) return result;
  const DWORD query = fdwInfo & MIXER_GETLINEINFOF_QUERYMASK;
  DWORD destination = pmxl->dwDestination;
  if (query == MIXER_GETLINEINFOF_LINEID) {
    if (!FindLine(*device, pmxl->dwLineID, &destination)) return MIXERR_INVALLINE;
  } else if (destination >= Destinations(*device) || query == MIXER_GETLINEINFOF_SOURCE) {
    // No line has source lines.
    return MIXERR_INVALLINE;
  }
  FillLine(*device, destination, pmxl);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc, DWORD fdwControls) {
  MMRESULT result = winmm::CheckControlsRecord(pmxlc);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckLineControlsFlags(fdwControls);
  if (result != MMSYSERR_NOERROR) return result;
  ReachServer();
  CacheLock cache;
  Device standIn;
  const Device* device = nullptr;
  result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwControls, &standIn, &device);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  const bool byID =
      (fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK) == MIXER_GETLINECONTROLSF_ONEBYID;
  const DWORD lineID = byID ? pmxlc->dwControlID : pmxlc->dwLineID;
  DWORD destination = 0;
  if (!FindLine(*device, lineID, &destination)) {
    return byID ? MIXERR_INVALCONTROL : MIXERR_INVALLINE;
  }
  if (!byID && pmxlc->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  winmm::PutControl(pmxlc, lineID,
                    winmm::VolumeControl(lineID, "Volume", VOLUME_MAXIMUM, VOLUME_STEPS));
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  MMRESULT result = CheckDetailsCall(pmxcd, fdwDetails);
  if (result != MMSYSERR_NOERROR) return result;
  ReachServer();
  CacheLock cache;
  Device standIn;
  const Device* device = nullptr;
  DWORD destination = 0;
  pa_cvolume volume;
  result = FindDetails(hmxobj, pmxcd, fdwDetails, &standIn, &device, &destination, &volume);
  if (result != MMSYSERR_NOERROR) return result;
  LineShown(*device);
  DWORD channels[PA_CHANNELS_MAX] = {};
  for (unsigned i = 0; i < volume.channels; ++i) channels[i] = ToMixer(volume.values[i]);
  winmm::PutValues(pmxcd, channels);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  MMRESULT result = CheckDetailsCall(pmxcd, fdwDetails);
  if (result != MMSYSERR_NOERROR) return result;
  ReachServer();
  CacheLock cache;
  Device standIn;
  const Device* device = nullptr;
  DWORD destination = 0;
  pa_cvolume volume;
  result = FindDetails(hmxobj, pmxcd, fdwDetails, &standIn, &device, &destination, &volume);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckValues(pmxcd, VOLUME_MAXIMUM);
  if (result != MMSYSERR_NOERROR) return result;
  for (unsigned i = 0; i < volume.channels; ++i) {
    volume.values[i] = ToPulse(winmm::WrittenValue(pmxcd, i));
  }
  WriteLine(*device, destination, volume);
  return MMSYSERR_NOERROR;
}

}  // extern "C"
