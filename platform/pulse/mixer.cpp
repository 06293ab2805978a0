// The Windows multimedia mixer (winmm's mixer* functions) over a PulseAudio server, or
// PipeWire's pulse server, presented the way Windows presents audio endpoints to winmm: the
// devices and lines of the line model (lines.h), each line with one volume control, 0..65535
// in 100 steps. Record sizes, flags, handles and written values are checked by winmm's rules
// (platform/winmm_rules.h), as the simulated mixer checks them.
//
// The controller calls the mixer once or twice per reading, up to 2,304 times a second, so
// the server is never waited for on that path: reading a volume answers from the cache, and a
// write is checked at once, kept for its line (kept.h) and sent behind the caller (writes.h),
// each call under the one lock, taken once. A handle remembers its device by pulse name, so it
// keeps naming the same device while others come and go, and again once the server is back;
// while the device is away the handle still works, its writes kept for the device's return. A
// handle on a default device follows the server's default. No server is ever started (no
// autospawn).
#include <cstring>

#include "platform/pulse/pulse.h"
#include "platform/pulse/server.h"
#include "platform/winmm_rules.h"

namespace pulse {
namespace {

constexpr DWORD VOLUME_STEPS = 100;

// The first failure of two checks made in order.
MMRESULT First(MMRESULT check, MMRESULT then) { return check != MMSYSERR_NOERROR ? check : then; }

}  // namespace

// The device, or the whole server, has gone away when the cache does not hold a handle's device.
MMRESULT Server::Resolve(const Locked& locked, UINT_PTR object, DWORD flags, Device* standIn,
                         const Device** device) {
  const State& s = state_.With(locked);
  const auto open = s.handles.find(object);
  const MMRESULT named = winmm::CheckObject(flags, open != s.handles.end());
  if (named != MMSYSERR_NOERROR) return named;
  const bool online = link_->Online(locked);
  if (open != s.handles.end()) {
    *device = online ? s.lines.FindDevice(open->second, standIn) : nullptr;
    return *device != nullptr ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  }
  const MMRESULT index = winmm::CheckIndex(object, online ? s.lines.DeviceCount() : 0);
  if (index == MMSYSERR_NOERROR) *device = s.lines.DeviceAt(object, standIn);
  return index;
}

bool Server::There() {
  Hold held(*link_);
  link_->Reach(held, false);
  return link_->Online(held);
}

template <typename Answer>
MMRESULT Server::OnDevice(MMRESULT checked, UINT_PTR object, DWORD flags, Answer answer) {
  if (checked != MMSYSERR_NOERROR) return checked;
  Hold held(*link_);
  link_->Reach(held, false);
  Device standIn;
  const Device* device = nullptr;
  const MMRESULT resolved = Resolve(held, object, flags, &standIn, &device);
  return resolved != MMSYSERR_NOERROR ? resolved : answer(held, state_.With(held), *device);
}

void Server::FillLine(const Locked& locked, const Device& device, DWORD destination,
                      MIXERLINEA* line) {
  const Lines& lines = state_.With(locked).lines;
  winmm::ClearLine(line);
  line->dwDestination = destination;
  line->dwLineID = lines.LineID(device, destination);
  line->fdwLine = MIXERLINE_LINEF_ACTIVE;
  line->dwComponentType = device.isSink || device.kind == Kind::APPLICATIONS
                              ? MIXERLINE_COMPONENTTYPE_DST_SPEAKERS
                              : MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  line->cChannels = lines.LineChannels(device, destination);
  line->cConnections = 0;
  line->cControls = 1;
  const std::string& name = lines.LineName(device, destination);
  winmm::CopyName(line->szShortName, name);
  winmm::CopyName(line->szName, name);
  winmm::CopyName(line->Target.szPname, device.description);
}

UINT Server::GetNumDevs() {
  Hold held(*link_);
  link_->Reach(held, true);
  return link_->Online(held) ? static_cast<UINT>(state_.With(held).lines.DeviceCount()) : 0;
}

// Nothing is ever posted to a window: the cache follows the server's changes by itself.
MMRESULT Server::Open(HMIXER* mixer, UINT index, DWORD_PTR callback, DWORD flags) {
  const MMRESULT checked = winmm::CheckOpen(mixer, callback, flags);
  if (checked != MMSYSERR_NOERROR) return checked;
  Hold held(*link_);
  link_->Reach(held, true);
  State& s = state_.With(held);
  const MMRESULT found = winmm::CheckIndex(index, link_->Online(held) ? s.lines.DeviceCount() : 0);
  if (found != MMSYSERR_NOERROR) return found;
  Device standIn;
  const UINT_PTR handle = s.nextHandle++;
  s.handles[handle] = KeyOf(*s.lines.DeviceAt(index, &standIn));
  *mixer = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT Server::Close(HMIXER mixer) {
  Hold held(*link_);
  return state_.With(held).handles.erase(reinterpret_cast<UINT_PTR>(mixer)) == 1
             ? MMSYSERR_NOERROR
             : MMSYSERR_INVALHANDLE;
}

MMRESULT Server::GetDevCaps(UINT_PTR object, MIXERCAPSA* caps, UINT size) {
  return OnDevice(winmm::CheckCapsRecord(caps), object, MIXER_OBJECTF_MIXER,
                  [&](const Locked&, State& s, const Device& device) {
                    MIXERCAPSA filled;
                    memset(&filled, 0, sizeof filled);
                    winmm::CopyName(filled.szPname, device.description);
                    filled.cDestinations = s.lines.Destinations(device);
                    winmm::CopyCaps(filled, caps, size);
                    return MMSYSERR_NOERROR;
                  });
}

MMRESULT Server::GetLineInfo(HMIXEROBJ object, MIXERLINEA* line, DWORD flags) {
  return OnDevice(First(winmm::CheckLineRecord(line), winmm::CheckLineInfoFlags(flags)),
                  reinterpret_cast<UINT_PTR>(object), flags,
                  [&](const Locked& locked, State& s, const Device& device) {
                    const DWORD query = flags & MIXER_GETLINEINFOF_QUERYMASK;
                    DWORD destination = line->dwDestination;
                    if (query == MIXER_GETLINEINFOF_LINEID) {
                      if (!s.lines.FindLine(device, line->dwLineID, &destination)) {
                        return MIXERR_INVALLINE;
                      }
                    } else if (destination >= s.lines.Destinations(device) ||
                               query == MIXER_GETLINEINFOF_SOURCE) {
                      // No line has source lines.
                      return MIXERR_INVALLINE;
                    }
                    FillLine(locked, device, destination, line);
                    return MMSYSERR_NOERROR;
                  });
}

MMRESULT Server::GetLineControls(HMIXEROBJ object, MIXERLINECONTROLSA* controls, DWORD flags) {
  return OnDevice(
      First(winmm::CheckControlsRecord(controls), winmm::CheckLineControlsFlags(flags)),
      reinterpret_cast<UINT_PTR>(object), flags,
      [&](const Locked&, State& s, const Device& device) {
        // A line's one control carries the line's ID.
        const bool byID =
            (flags & MIXER_GETLINECONTROLSF_QUERYMASK) == MIXER_GETLINECONTROLSF_ONEBYID;
        const DWORD lineID = byID ? controls->dwControlID : controls->dwLineID;
        DWORD destination = 0;
        if (!s.lines.FindLine(device, lineID, &destination)) {
          return byID ? MIXERR_INVALCONTROL : MIXERR_INVALLINE;
        }
        if (!byID && controls->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) {
          return MIXERR_INVALCONTROL;
        }
        winmm::PutControl(controls, lineID,
                          winmm::VolumeControl(lineID, "Volume", VOLUME_MAXIMUM, VOLUME_STEPS));
        return MMSYSERR_NOERROR;
      });
}

MMRESULT Server::GetControlDetails(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags) {
  return OnDevice(First(winmm::CheckDetailsRecord(details), winmm::CheckDetailsFlags(flags)),
                  reinterpret_cast<UINT_PTR>(object), flags,
                  [&](const Locked&, State& s, const Device& device) {
                    // A line's one control carries the line's ID.
                    DWORD destination = 0;
                    if (!s.lines.FindLine(device, details->dwControlID, &destination)) {
                      return MIXERR_INVALCONTROL;
                    }
                    const pa_cvolume volume =
                        s.lines.LineVolume(device, destination, details->cChannels);
                    if (!winmm::DetailsFit(details, volume.channels)) return MMSYSERR_INVALPARAM;
                    if (device.kind == Kind::DEFAULT) s.kept.DefaultShown(device.isSink);
                    DWORD channels[PA_CHANNELS_MAX] = {};
                    for (unsigned i = 0; i < volume.channels; ++i)
                      channels[i] = ToMixer(volume.values[i]);
                    winmm::PutValues(details, channels);
                    return MMSYSERR_NOERROR;
                  });
}

MMRESULT Server::SetControlDetails(HMIXEROBJ object, MIXERCONTROLDETAILS* details, DWORD flags) {
  return OnDevice(First(winmm::CheckDetailsRecord(details), winmm::CheckDetailsFlags(flags)),
                  reinterpret_cast<UINT_PTR>(object), flags,
                  [&](const Locked& locked, State& s, const Device& device) {
                    DWORD destination = 0;
                    if (!s.lines.FindLine(device, details->dwControlID, &destination)) {
                      return MIXERR_INVALCONTROL;
                    }
                    // Every value is the caller's: only the count is the line's.
                    pa_cvolume volume;
                    volume.channels = s.lines.LineChannels(device, destination, details->cChannels);
                    if (!winmm::DetailsFit(details, volume.channels)) return MMSYSERR_INVALPARAM;
                    const MMRESULT inBounds = winmm::CheckValues(details, VOLUME_MAXIMUM);
                    if (inBounds != MMSYSERR_NOERROR) return inBounds;
                    for (unsigned i = 0; i < volume.channels; ++i) {
                      volume.values[i] = ToPulse(winmm::WrittenValue(details, i));
                    }
                    switch (device.kind) {
                      case Kind::SERVER:
                        s.kept.WriteDevice(locked, device, volume);
                        break;
                      case Kind::DEFAULT:
                        s.kept.WriteDefault(locked, device.isSink, volume);
                        break;
                      case Kind::APPLICATIONS:
                        s.kept.WriteApplication(locked, s.lines.LineName(device, destination),
                                                volume);
                        break;
                    }
                    return MMSYSERR_NOERROR;
                  });
}

}  // namespace pulse
