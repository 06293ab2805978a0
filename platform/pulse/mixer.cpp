// The Windows multimedia mixer (winmm's mixer* functions) over a PulseAudio server, or
// PipeWire's pulse server, presented the way Windows presents audio endpoints to winmm: the
// devices and lines of the line model (lines.h), each line with one volume control, 0..65535
// in 100 steps. Record sizes, flags, handles and written values are checked as winmm checks
// them, with winmm's codes.
//
// The controller calls the mixer once or twice per reading, up to 2,304 times a second, so
// the server is never waited for on that path: reading a volume answers from the cache
// (cache.h), and a write is checked at once and then sent behind the caller (writes.h). Only
// listing the devices (mixerGetNumDevs, mixerOpen) and (re)connecting wait for the server
// (connection.h), never longer than ANSWER_TIMEOUT. A handle remembers its device by pulse
// name, so it keeps naming the same device while others come and go, and again once the
// server is back; while the device is away the handle still works, its writes kept for the
// device's return. A handle on a default device follows the server's default. No server is
// ever started (no autospawn).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/pulse/connection.h"
#include "platform/pulse/lines.h"
#include "platform/pulse/state.h"
#include "platform/win32.h"

using namespace pulse;

namespace {

constexpr DWORD VOLUME_MAXIMUM = 65535;
constexpr DWORD VOLUME_STEPS = 100;

// Finds the device a call names in the cache (hold its lock), as winmm does: with the handle-type
// bit it must be an open handle; with no type bit it may be an open handle or a device index.
MMRESULT Resolve(UINT_PTR object, DWORD flags, const Device** device) {
  const DWORD type = flags & MIXER_OBJECTF_TYPEMASK;
  if (type != MIXER_OBJECTF_HMIXER && type != MIXER_OBJECTF_MIXER) return MMSYSERR_NOTSUPPORTED;
  const auto& handles = TheState().handles;
  const auto open = handles.find(object);
  if (open == handles.end() && type == MIXER_OBJECTF_HMIXER) return MMSYSERR_INVALHANDLE;
  if (open != handles.end()) {
    // The device, or the whole server, has gone away when the cache does not hold it.
    *device = TheState().connected ? FindDevice(open->second) : nullptr;
    return *device != nullptr ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  if (!TheState().connected) return MMSYSERR_BADDEVICEID;
  const std::vector<const Device*> devices = Devices();
  if (object >= devices.size()) return MMSYSERR_BADDEVICEID;
  *device = devices[object];
  return MMSYSERR_NOERROR;
}

// Copies a name into a fixed field, cut so that no UTF-8 character is split.
template <size_t N>
void CopyName(char (&field)[N], const std::string& name) {
  size_t length = std::min(N - 1, name.size());
  while (length > 0 && length < name.size() &&
         (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
    --length;
  }
  memcpy(field, name.data(), length);
  field[length] = '\0';
}

void FillLine(const Device& device, DWORD destination, MIXERLINEA* line) {
  const DWORD cbStruct = line->cbStruct;
  memset(line, 0, sizeof *line);
  line->cbStruct = cbStruct;
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
  CopyName(line->szShortName, name);
  CopyName(line->szName, name);
  CopyName(line->Target.szPname, device.description);
}

// PulseAudio's 100 % (65536) and anything louder is the control's maximum, 65535; the
// maximum written back is exactly 100 %, so a full knob never boosts.
DWORD ToMixer(pa_volume_t volume) {
  return volume >= PA_VOLUME_NORM ? VOLUME_MAXIMUM : static_cast<DWORD>(volume);
}
pa_volume_t ToPulse(DWORD value) { return value >= VOLUME_MAXIMUM ? PA_VOLUME_NORM : value; }

// A details call names either every channel of the line or, for a uniform value, one.
bool DetailsFit(const MIXERCONTROLDETAILS* details, const pa_cvolume& volume) {
  return details->cbStruct == sizeof *details &&
         details->cbDetails == sizeof(MIXERCONTROLDETAILS_UNSIGNED) &&
         details->paDetails != nullptr &&
         (details->cChannels == volume.channels || details->cChannels == 1);
}

// Reading and writing details take only the value query (0), with or without a handle-type
// bit: another query is unsupported, a bit outside the query and type is an invalid flag.
MMRESULT CheckValueQuery(DWORD flags) {
  if ((flags & ~MIXER_OBJECTF_TYPEMASK) == MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_NOERROR;
  return (flags & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETCONTROLDETAILSF_QUERYMASK)) != 0
             ? MMSYSERR_INVALFLAG
             : MMSYSERR_NOTSUPPORTED;
}

}  // namespace

extern "C" {

UINT mixerGetNumDevs(void) {
  Session session(true);
  return TheState().connected ? static_cast<UINT>(Devices().size()) : 0;
}

MMRESULT mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback, DWORD_PTR /*dwInstance*/,
                   DWORD fdwOpen) {
  if (phmx == nullptr) return MMSYSERR_INVALPARAM;
  if (fdwOpen != CALLBACK_NULL && fdwOpen != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
  // Nothing is ever posted to the window: the cache follows the server's changes by itself.
  if (fdwOpen == CALLBACK_WINDOW && dwCallback == 0) return MMSYSERR_INVALPARAM;
  Session session(true);
  if (!TheState().connected) return MMSYSERR_BADDEVICEID;
  const std::vector<const Device*> devices = Devices();
  if (uMxId >= devices.size()) return MMSYSERR_BADDEVICEID;
  State& s = TheState();
  const UINT_PTR handle = s.nextHandle++;
  s.handles[handle] = KeyOf(*devices[uMxId]);
  *phmx = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER hmx) {
  return TheState().handles.erase(reinterpret_cast<UINT_PTR>(hmx)) == 1 ? MMSYSERR_NOERROR
                                                                        : MMSYSERR_INVALHANDLE;
}

MMRESULT mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  if (pmxcaps == nullptr) return MMSYSERR_INVALPARAM;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(uMxId, MIXER_OBJECTF_MIXER, &device);
  if (result != MMSYSERR_NOERROR) return result;
  MIXERCAPSA caps;
  memset(&caps, 0, sizeof caps);
  CopyName(caps.szPname, device->description);
  caps.cDestinations = Destinations(*device);
  // Like winmm, fills no more than the caller's record holds.
  memcpy(pmxcaps, &caps, std::min<size_t>(cbmxcaps, sizeof caps));
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  if (pmxl == nullptr || pmxl->cbStruct != sizeof *pmxl) return MMSYSERR_INVALPARAM;
  if ((fdwInfo & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINEINFOF_QUERYMASK)) != 0) {
    return MMSYSERR_INVALFLAG;
  }
  const DWORD query = fdwInfo & MIXER_GETLINEINFOF_QUERYMASK;
  if (query != MIXER_GETLINEINFOF_DESTINATION && query != MIXER_GETLINEINFOF_SOURCE &&
      query != MIXER_GETLINEINFOF_LINEID) {
    return MMSYSERR_NOTSUPPORTED;
  }
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwInfo, &device);
  if (result != MMSYSERR_NOERROR) return result;
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
  if (pmxlc == nullptr || pmxlc->cbStruct != sizeof *pmxlc || pmxlc->cControls != 1 ||
      pmxlc->cbmxctrl < sizeof(MIXERCONTROLA) || pmxlc->pamxctrl == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  if ((fdwControls & ~(MIXER_OBJECTF_TYPEMASK | MIXER_GETLINECONTROLSF_QUERYMASK)) != 0) {
    return MMSYSERR_INVALFLAG;
  }
  const DWORD query = fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK;
  if (query != MIXER_GETLINECONTROLSF_ONEBYTYPE && query != MIXER_GETLINECONTROLSF_ONEBYID) {
    return MMSYSERR_NOTSUPPORTED;
  }
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwControls, &device);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  const bool byID = query == MIXER_GETLINECONTROLSF_ONEBYID;
  const DWORD lineID = byID ? pmxlc->dwControlID : pmxlc->dwLineID;
  DWORD destination = 0;
  if (!FindLine(*device, lineID, &destination))
    return byID ? MIXERR_INVALCONTROL : MIXERR_INVALLINE;
  if (!byID && pmxlc->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) return MIXERR_INVALCONTROL;
  pmxlc->dwLineID = lineID;
  MIXERCONTROLA control;
  memset(&control, 0, sizeof control);
  control.cbStruct = sizeof control;
  control.dwControlID = lineID;
  control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  CopyName(control.szShortName, "Volume");
  CopyName(control.szName, "Volume");
  control.Bounds.dwMinimum = 0;
  control.Bounds.dwMaximum = VOLUME_MAXIMUM;
  control.Metrics.cSteps = VOLUME_STEPS;
  memcpy(pmxlc->pamxctrl, &control, sizeof control);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  if (pmxcd == nullptr || pmxcd->cbStruct != sizeof *pmxcd) return MMSYSERR_INVALPARAM;
  const MMRESULT query = CheckValueQuery(fdwDetails);
  if (query != MMSYSERR_NOERROR) return query;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails, &device);
  if (result != MMSYSERR_NOERROR) return result;
  DWORD destination = 0;
  if (!FindLine(*device, pmxcd->dwControlID, &destination)) return MIXERR_INVALCONTROL;
  const pa_cvolume volume = LineVolume(*device, destination);
  if (!DetailsFit(pmxcd, volume)) return MMSYSERR_INVALPARAM;
  auto* values = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
  if (pmxcd->cChannels == 1) {
    values[0].dwValue = ToMixer(pa_cvolume_max(&volume));
  } else {
    for (DWORD i = 0; i < pmxcd->cChannels; ++i) values[i].dwValue = ToMixer(volume.values[i]);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd, DWORD fdwDetails) {
  if (pmxcd == nullptr || pmxcd->cbStruct != sizeof *pmxcd) return MMSYSERR_INVALPARAM;
  const MMRESULT query = CheckValueQuery(fdwDetails);
  if (query != MMSYSERR_NOERROR) return query;
  Session session;
  const Device* device = nullptr;
  const MMRESULT result = Resolve(reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails, &device);
  if (result != MMSYSERR_NOERROR) return result;
  DWORD destination = 0;
  if (!FindLine(*device, pmxcd->dwControlID, &destination)) return MIXERR_INVALCONTROL;
  pa_cvolume volume = LineVolume(*device, destination);
  if (!DetailsFit(pmxcd, volume)) return MMSYSERR_INVALPARAM;
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
  // Like winmm, an out-of-bounds value rejects the whole write.
  for (DWORD i = 0; i < pmxcd->cChannels; ++i) {
    if (values[i].dwValue > VOLUME_MAXIMUM) return MMSYSERR_INVALPARAM;
  }
  for (unsigned i = 0; i < volume.channels; ++i) {
    volume.values[i] = ToPulse(values[pmxcd->cChannels == 1 ? 0 : i].dwValue);
  }
  WriteLine(*device, destination, volume);
  return MMSYSERR_NOERROR;
}

}  // extern "C"
