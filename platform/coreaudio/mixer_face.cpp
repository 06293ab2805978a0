// The Windows mixer face: winmm's devices passed through, then the default output, the default
// input and the applications, each line with one volume control, 0..65535 in 100 steps, on two
// channels, as the Linux mixer shows the same devices.
#include "platform/coreaudio/mixer_face.h"

#include <cstring>

#include "platform/winmm_rules.h"

namespace coreaudio {
namespace {

constexpr DWORD VOLUME_STEPS = 100;
constexpr DWORD LINE_CHANNELS = 2;
// The same line IDs as the Linux mixer's: a default's one line, and an application's place
// counted from the first application's.
constexpr DWORD MASTER_LINE_ID = 0xFFFF0000u;
constexpr DWORD FIRST_APPLICATION_LINE_ID = 0x00010000u;

const char* const DEVICE_NAMES[DEVICES] = {"Default Output", "Default Input", "Applications"};
const char MASTER_VOLUME[] = "Master Volume";

MMRESULT CheckDetailsCall(const MIXERCONTROLDETAILS* details, DWORD flags) {
  const MMRESULT result = winmm::CheckDetailsRecord(details);
  return result != MMSYSERR_NOERROR ? result : winmm::CheckDetailsFlags(flags);
}

}  // namespace

MixerFace::Slot* MixerFace::SlotOf(UINT_PTR object) {
  for (Slot& slot : slots_) {
    if (reinterpret_cast<UINT_PTR>(&slot) == object && slot.open) return &slot;
  }
  return nullptr;
}

bool MixerFace::Ours(UINT_PTR object, DWORD flags, Device* device, bool* byHandle) {
  if (const Slot* slot = SlotOf(object)) {
    *device = slot->device;
    *byHandle = true;
    return true;
  }
  *byHandle = false;
  // A handle of winmm's, or an object named in a way only winmm knows (a wave device's, say).
  if ((flags & MIXER_OBJECTF_TYPEMASK) != MIXER_OBJECTF_MIXER) return false;
  for (const HMIXER open : legacyOpen_) {
    if (open != nullptr && reinterpret_cast<UINT_PTR>(open) == object) return false;
  }
  const UINT legacy = legacy_.getNumDevs();
  if (object < legacy || object - legacy >= (lines_.Available() ? DEVICES : 0)) return false;
  *device = static_cast<Device>(object - legacy);
  return true;
}

UINT MixerFace::GetNumDevs() { return legacy_.getNumDevs() + (lines_.Available() ? DEVICES : 0); }

MMRESULT MixerFace::Open(LPHMIXER mixer, UINT id, DWORD_PTR callback, DWORD_PTR instance,
                         DWORD flags) {
  Device device;
  bool byHandle = false;
  // mixerOpen names a device by index, or by another object only with a type bit in its flags.
  if ((flags & MIXER_OBJECTF_TYPEMASK) != 0 || !Ours(id, MIXER_OBJECTF_MIXER, &device, &byHandle) ||
      byHandle) {
    const MMRESULT result = legacy_.open(mixer, id, callback, instance, flags);
    if (result == MMSYSERR_NOERROR) {
      for (HMIXER& open : legacyOpen_) {
        if (open == nullptr) {
          open = *mixer;
          break;
        }
      }
    }
    return result;
  }
  // Nothing is ever posted to a window: the thread behind the lines follows the changes itself.
  const MMRESULT checked = winmm::CheckOpen(mixer, callback, flags);
  if (checked != MMSYSERR_NOERROR) return checked;
  for (Slot& slot : slots_) {
    if (!slot.open) {
      slot = Slot{true, device};
      *mixer = reinterpret_cast<HMIXER>(&slot);
      return MMSYSERR_NOERROR;
    }
  }
  return MMSYSERR_NOMEM;
}

MMRESULT MixerFace::Close(HMIXER mixer) {
  if (Slot* slot = SlotOf(reinterpret_cast<UINT_PTR>(mixer))) {
    slot->open = false;
    return MMSYSERR_NOERROR;
  }
  const MMRESULT result = legacy_.close(mixer);
  if (result == MMSYSERR_NOERROR) {
    for (HMIXER& open : legacyOpen_) {
      if (open == mixer) open = nullptr;
    }
  }
  return result;
}

MMRESULT MixerFace::GetDevCaps(UINT_PTR id, LPMIXERCAPSA caps, UINT size) {
  Device device;
  bool byHandle = false;
  if (!Ours(id, MIXER_OBJECTF_MIXER, &device, &byHandle)) return legacy_.getDevCaps(id, caps, size);
  const MMRESULT checked = winmm::CheckCapsRecord(caps);
  if (checked != MMSYSERR_NOERROR) return checked;
  MIXERCAPSA ours;
  memset(&ours, 0, sizeof ours);
  winmm::CopyName(ours.szPname, DEVICE_NAMES[device]);
  ours.cDestinations = Destinations(device);
  winmm::CopyCaps(ours, caps, size);
  return MMSYSERR_NOERROR;
}

DWORD MixerFace::Destinations(Device device) {
  return device == APPLICATIONS ? lines_.Applications() : 1;
}

// Line IDs are fixed per line, so a line asked for by an ID it no longer has answers with an
// error instead of another line's value.
bool MixerFace::FindLine(Device device, DWORD lineID, DWORD* destination) {
  *destination = 0;
  if (device != APPLICATIONS) return lineID == MASTER_LINE_ID;
  if (lineID < FIRST_APPLICATION_LINE_ID) return false;
  *destination = lineID - FIRST_APPLICATION_LINE_ID;
  return *destination < Destinations(device);
}

void MixerFace::FillLine(Device device, DWORD destination, MIXERLINEA* line) {
  winmm::ClearLine(line);
  line->dwDestination = destination;
  line->dwLineID =
      device == APPLICATIONS ? FIRST_APPLICATION_LINE_ID + destination : MASTER_LINE_ID;
  line->fdwLine = MIXERLINE_LINEF_ACTIVE;
  line->dwComponentType = device == DEFAULT_INPUT ? MIXERLINE_COMPONENTTYPE_DST_WAVEIN
                                                  : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  line->cChannels = LINE_CHANNELS;
  line->cConnections = 0;
  line->cControls = 1;
  char name[MIXER_LONG_NAME_CHARS];
  if (device != APPLICATIONS || !lines_.ApplicationName(destination, name, sizeof name)) {
    winmm::CopyName(name, MASTER_VOLUME);
  }
  winmm::CopyName(line->szShortName, name);
  winmm::CopyName(line->szName, name);
  winmm::CopyName(line->Target.szPname, DEVICE_NAMES[device]);
}

MMRESULT MixerFace::GetLineInfo(HMIXEROBJ object, LPMIXERLINEA line, DWORD flags) {
  Device device;
  bool byHandle = false;
  if (!Ours(reinterpret_cast<UINT_PTR>(object), flags, &device, &byHandle)) {
    return legacy_.getLineInfo(object, line, flags);
  }
  MMRESULT result = winmm::CheckLineRecord(line);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckLineInfoFlags(flags);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckObject(flags, byHandle);
  if (result != MMSYSERR_NOERROR) return result;
  const DWORD query = flags & MIXER_GETLINEINFOF_QUERYMASK;
  DWORD destination = line->dwDestination;
  if (query == MIXER_GETLINEINFOF_LINEID) {
    if (!FindLine(device, line->dwLineID, &destination)) return MIXERR_INVALLINE;
  } else if (destination >= Destinations(device) || query == MIXER_GETLINEINFOF_SOURCE) {
    // No line has source lines.
    return MIXERR_INVALLINE;
  }
  FillLine(device, destination, line);
  return MMSYSERR_NOERROR;
}

MMRESULT MixerFace::GetLineControls(HMIXEROBJ object, LPMIXERLINECONTROLSA controls, DWORD flags) {
  Device device;
  bool byHandle = false;
  if (!Ours(reinterpret_cast<UINT_PTR>(object), flags, &device, &byHandle)) {
    return legacy_.getLineControls(object, controls, flags);
  }
  MMRESULT result = winmm::CheckControlsRecord(controls);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckLineControlsFlags(flags);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckObject(flags, byHandle);
  if (result != MMSYSERR_NOERROR) return result;
  // A line's one control carries the line's ID.
  const bool byID = (flags & MIXER_GETLINECONTROLSF_QUERYMASK) == MIXER_GETLINECONTROLSF_ONEBYID;
  const DWORD lineID = byID ? controls->dwControlID : controls->dwLineID;
  DWORD destination = 0;
  if (!FindLine(device, lineID, &destination)) return byID ? MIXERR_INVALCONTROL : MIXERR_INVALLINE;
  if (!byID && controls->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) {
    return MIXERR_INVALCONTROL;
  }
  winmm::PutControl(controls, lineID,
                    winmm::VolumeControl(lineID, "Volume", LINE_TOP, VOLUME_STEPS));
  return MMSYSERR_NOERROR;
}

// The line a details call names by its control's ID, after winmm's checks of the call.
MMRESULT MixerFace::Details(const MIXERCONTROLDETAILS* details, DWORD flags, Device device,
                            bool byHandle, DWORD* destination) {
  MMRESULT result = CheckDetailsCall(details, flags);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckObject(flags, byHandle);
  if (result != MMSYSERR_NOERROR) return result;
  if (!FindLine(device, details->dwControlID, destination)) return MIXERR_INVALCONTROL;
  return winmm::DetailsFit(details, LINE_CHANNELS) ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT MixerFace::GetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details,
                                      DWORD flags) {
  Device device;
  bool byHandle = false;
  if (!Ours(reinterpret_cast<UINT_PTR>(object), flags, &device, &byHandle)) {
    return legacy_.getControlDetails(object, details, flags);
  }
  DWORD destination = 0;
  const MMRESULT result = Details(details, flags, device, byHandle, &destination);
  if (result != MMSYSERR_NOERROR) return result;
  const LineValue value = lines_.Read(device, destination);
  const DWORD channels[LINE_CHANNELS] = {value.left, value.right};
  winmm::PutValues(details, channels);
  return MMSYSERR_NOERROR;
}

MMRESULT MixerFace::SetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details,
                                      DWORD flags) {
  Device device;
  bool byHandle = false;
  if (!Ours(reinterpret_cast<UINT_PTR>(object), flags, &device, &byHandle)) {
    return legacy_.setControlDetails(object, details, flags);
  }
  DWORD destination = 0;
  MMRESULT result = Details(details, flags, device, byHandle, &destination);
  if (result == MMSYSERR_NOERROR) result = winmm::CheckValues(details, LINE_TOP);
  if (result != MMSYSERR_NOERROR) return result;
  const LineValue value{winmm::WrittenValue(details, 0), winmm::WrittenValue(details, 1)};
  return lines_.Write(device, destination, value) ? MMSYSERR_NOERROR : MIXERR_INVALCONTROL;
}

}  // namespace coreaudio
