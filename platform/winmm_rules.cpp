// The checks winmm makes on every mixer call and the records it fills, one copy for both
// stand-in mixers; platform/winmm_rules.h says in which order a call makes them.
#include "platform/winmm_rules.h"

#include <algorithm>
#include <cstring>

#include "platform/text.h"

namespace winmm {

MMRESULT CheckOpen(const HMIXER* mixer, DWORD_PTR callback, DWORD flags) {
  if (mixer == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_WINDOW) return MMSYSERR_INVALFLAG;
  if (flags == CALLBACK_WINDOW && callback == 0) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

MMRESULT CheckCapsRecord(const MIXERCAPSA* caps) {
  return caps != nullptr ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

// A larger line or details record is one "large enough to contain" the structure, as the
// documented contract of cbStruct puts it; only the base structure is filled.
MMRESULT CheckLineRecord(const MIXERLINEA* line) {
  return line != nullptr && line->cbStruct >= sizeof *line ? MMSYSERR_NOERROR : MMSYSERR_INVALPARAM;
}

MMRESULT CheckControlsRecord(const MIXERLINECONTROLSA* controls) {
  return controls != nullptr && controls->cbStruct == sizeof *controls &&
                 controls->cControls == 1 && controls->cbmxctrl >= sizeof(MIXERCONTROLA) &&
                 controls->pamxctrl != nullptr
             ? MMSYSERR_NOERROR
             : MMSYSERR_INVALPARAM;
}

MMRESULT CheckDetailsRecord(const MIXERCONTROLDETAILS* details) {
  return details != nullptr && details->cbStruct >= sizeof *details ? MMSYSERR_NOERROR
                                                                    : MMSYSERR_INVALPARAM;
}

namespace {

// A bit outside the object type and the query is an invalid flag.
bool StrayBits(DWORD flags, DWORD queryMask) {
  return (flags & ~(MIXER_OBJECTF_TYPEMASK | queryMask)) != 0;
}

}  // namespace

// winmm knows five line queries; these mixers serve three, and a query value beyond the five
// is an invalid flag.
MMRESULT CheckLineInfoFlags(DWORD flags) {
  if (StrayBits(flags, MIXER_GETLINEINFOF_QUERYMASK)) return MMSYSERR_INVALFLAG;
  switch (flags & MIXER_GETLINEINFOF_QUERYMASK) {
    case MIXER_GETLINEINFOF_DESTINATION:
    case MIXER_GETLINEINFOF_SOURCE:
    case MIXER_GETLINEINFOF_LINEID:
      return MMSYSERR_NOERROR;
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
    case MIXER_GETLINEINFOF_TARGETTYPE:
      return MMSYSERR_NOTSUPPORTED;
    default:
      return MMSYSERR_INVALFLAG;
  }
}

// Every line has at most one control, asked for by ID or by type; all of a line's controls at
// once is not served, and a query value beyond the three is an invalid flag.
MMRESULT CheckLineControlsFlags(DWORD flags) {
  if (StrayBits(flags, MIXER_GETLINECONTROLSF_QUERYMASK)) return MMSYSERR_INVALFLAG;
  switch (flags & MIXER_GETLINECONTROLSF_QUERYMASK) {
    case MIXER_GETLINECONTROLSF_ONEBYID:
    case MIXER_GETLINECONTROLSF_ONEBYTYPE:
      return MMSYSERR_NOERROR;
    case MIXER_GETLINECONTROLSF_ALL:
      return MMSYSERR_NOTSUPPORTED;
    default:
      return MMSYSERR_INVALFLAG;
  }
}

// Reading and writing details take only the value query: winmm answers any other query of
// details, the list texts and the custom write among them, as not supported.
MMRESULT CheckDetailsFlags(DWORD flags) {
  if (StrayBits(flags, MIXER_GETCONTROLDETAILSF_QUERYMASK)) return MMSYSERR_INVALFLAG;
  return (flags & MIXER_GETCONTROLDETAILSF_QUERYMASK) == MIXER_GETCONTROLDETAILSF_VALUE
             ? MMSYSERR_NOERROR
             : MMSYSERR_NOTSUPPORTED;
}

MMRESULT CheckObject(DWORD flags, bool isOpenHandle) {
  const DWORD type = flags & MIXER_OBJECTF_TYPEMASK;
  if (type != MIXER_OBJECTF_HMIXER && type != MIXER_OBJECTF_MIXER) return MMSYSERR_NOTSUPPORTED;
  if (type == MIXER_OBJECTF_HMIXER && !isOpenHandle) return MMSYSERR_INVALHANDLE;
  return MMSYSERR_NOERROR;
}

MMRESULT CheckIndex(UINT_PTR index, size_t devices) {
  return index < devices ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

bool DetailsFit(const MIXERCONTROLDETAILS* details, DWORD channels) {
  return details->cbDetails == sizeof(MIXERCONTROLDETAILS_UNSIGNED) &&
         details->paDetails != nullptr &&
         (details->cChannels == channels || details->cChannels == 1);
}

MMRESULT CheckValues(const MIXERCONTROLDETAILS* details, DWORD maximum) {
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  for (DWORD i = 0; i < details->cChannels; ++i) {
    if (values[i].dwValue > maximum) return MMSYSERR_INVALPARAM;
  }
  return MMSYSERR_NOERROR;
}

DWORD WrittenValue(const MIXERCONTROLDETAILS* details, DWORD channel) {
  const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  return values[details->cChannels == 1 ? 0 : channel].dwValue;
}

void PutValues(const MIXERCONTROLDETAILS* details, const DWORD* channels) {
  auto* values = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(details->paDetails);
  for (DWORD i = 0; i < details->cChannels; ++i) values[i].dwValue = channels[i];
}

void CopyCaps(const MIXERCAPSA& caps, MIXERCAPSA* to, UINT size) {
  memcpy(to, &caps, std::min<size_t>(size, sizeof caps));
}

void ClearLine(MIXERLINEA* line) {
  memset(line, 0, sizeof *line);
  line->cbStruct = sizeof *line;
}

void PutControl(MIXERLINECONTROLSA* controls, DWORD lineID, const MIXERCONTROLA& control) {
  controls->dwLineID = lineID;
  memcpy(controls->pamxctrl, &control, sizeof control);
}

MIXERCONTROLA VolumeControl(DWORD controlID, const char* name, DWORD maximum, DWORD steps) {
  MIXERCONTROLA control;
  memset(&control, 0, sizeof control);
  control.cbStruct = sizeof control;
  control.dwControlID = controlID;
  control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  CopyName(control.szShortName, "Volume");
  CopyName(control.szName, name);
  control.Bounds.dwMinimum = 0;
  control.Bounds.dwMaximum = maximum;
  control.Metrics.cSteps = steps;
  return control;
}

// winmm's narrow names are converted from wide ones a whole character at a time, so a cut
// name never ends in part of a character.
void CopyName(char* field, size_t size, const char* name) {
  const size_t length = Utf8CutLength(name, strlen(name), size - 1);
  memcpy(field, name, length);
  field[length] = '\0';
}

}  // namespace winmm
