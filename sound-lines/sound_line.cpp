// SoundLine: opens one numbered sound line and sets its volume, keeping its balance.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "sound-lines/sound_line.h"

#include "platform/volume_scale.h"

SoundLine::~SoundLine() { Close(); }

bool SoundLine::Open(HWND notifyWindow, int32_t lineNumber) {
  Close();
  visitCount = 0;
  deviceIndex = -1;
  targetLineNumber = lineNumber;
  lineFound = false;
  ForEachSoundLine(SearchLine, this);
  // Past the last entry, or below 0, the number names no line; deviceIndex then only says
  // where the walk ended, and opening it would set the volume of a line nobody picked.
  if (!lineFound) return false;

  memset(&line, 0, sizeof line);
  memset(&lineControls, 0, sizeof lineControls);
  memset(&control, 0, sizeof control);
  memset(&details, 0, sizeof details);
  line.cbStruct = sizeof line;
  lineControls.cbStruct = sizeof lineControls;
  control.cbStruct = sizeof control;
  details.cbStruct = sizeof details;

  MMRESULT result =
      mixerOpen(&handle, static_cast<UINT>(deviceIndex), reinterpret_cast<DWORD_PTR>(notifyWindow),
                0, notifyWindow ? CALLBACK_WINDOW : CALLBACK_NULL);
  if (result != MMSYSERR_NOERROR) return false;

  line.dwLineID = foundLineID;
  result = mixerGetLineInfoA(Object(), &line, MIXER_GETLINEINFOF_LINEID);
  // A line without channels has no loudest channel to read or set.
  if (result != MMSYSERR_NOERROR || line.cChannels == 0) return Abandon();

  lineControls.cControls = 1;
  lineControls.dwLineID = line.dwLineID;
  lineControls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  lineControls.cbmxctrl = sizeof control;
  lineControls.pamxctrl = &control;
  result = mixerGetLineControlsA(Object(), &lineControls,
                                 MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE);
  // The conversions divide by the maximum; a control whose range is empty can do nothing.
  if (result != MMSYSERR_NOERROR || control.Bounds.dwMaximum == 0) return Abandon();

  maximum = control.Bounds.dwMaximum;
  // Without a step count only silence itself counts as inaudible.
  stepSize = control.Metrics.cSteps != 0 ? maximum / control.Metrics.cSteps : 0;

  // Zero-filled, and the saved state starts silent: whatever a failed read leaves, the
  // first write can only carry values of ours, never leftovers of another line or memory.
  valuesSize = line.cChannels * sizeof(MIXERCONTROLDETAILS_UNSIGNED);
  // calloc, not new: a line with absurdly many channels fails to open instead of throwing,
  // and the Windows programs need none of the C++ runtime's exception machinery.
  values = static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(calloc(line.cChannels, sizeof *values));
  savedValues =
      static_cast<MIXERCONTROLDETAILS_UNSIGNED*>(calloc(line.cChannels, sizeof *savedValues));
  if (values == nullptr || savedValues == nullptr) {
    ReleaseValues();
    return Abandon();
  }
  loudestChannel = 0;
  savedLoudestChannel = 0;
  level = 0;
  savedLevel = 0;

  details.dwControlID = control.dwControlID;
  details.cChannels = line.cChannels;
  details.cMultipleItems = control.cMultipleItems;
  details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
  details.paDetails = values;
  return true;
}

// The line search counts the walk's visits up to the number asked for.
int32_t SoundLine::SearchLine(VisitKind kind, const MIXERCAPSA* /*caps*/, const MIXERLINEA* line,
                              void* context) {
  SoundLine* self = static_cast<SoundLine*>(context);
  if (kind == VISIT_DEVICE) self->deviceIndex += 1;
  if (self->visitCount == self->targetLineNumber) {
    if (kind != VISIT_DEVICE) {
      self->foundLineID = line->dwLineID;
      self->lineFound = true;
      return 1;
    }
    // A device has no volume of its own: its number passes on to the next entry, its first
    // destination line, or the first line of a later device when it has none.
    self->visitCount -= 1;
  }
  self->visitCount += 1;
  return 0;
}

// An Open that fails after the device opened gives the device back, since Close only
// releases what a successful Open left.
bool SoundLine::Abandon() {
  mixerClose(handle);
  handle = nullptr;
  return false;
}

void SoundLine::Close() {
  if (!values) return;
  ReleaseValues();
  mixerClose(handle);
  handle = nullptr;
}

void SoundLine::ReleaseValues() {
  free(values);
  free(savedValues);
  values = nullptr;
  savedValues = nullptr;
}

DWORD SoundLine::GetVolume() {
  if (!values) return 0;
  loudestChannel = 0;
  // A failed read leaves the values of the last one, or the zeros they started with.
  mixerGetControlDetailsA(Object(), &details,
                          MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
  for (DWORD i = 0; i < details.cChannels; ++i) {
    if (values[i].dwValue > values[loudestChannel].dwValue)
      loudestChannel = static_cast<int32_t>(i);
  }
  return ToVolumeScale(values[loudestChannel].dwValue);
}

MMRESULT SoundLine::SetVolume(DWORD volume) {
  if (!values) return MMSYSERR_INVALHANDLE;
  const DWORD target = ToDeviceUnits(volume);
  // Re-reading each time honours a balance another program set since the last call. The
  // level goes through the volume scale and back, so it can come out a little below the
  // raw channel value; the audibility test and the ratio both work on that level.
  level = ToDeviceUnits(GetVolume());
  if (level > stepSize) {
    savedLoudestChannel = loudestChannel;
    savedLevel = level;
    memcpy(savedValues, values, valuesSize);
  } else {
    // Silent lines have no balance left to keep: bring back the last audible one.
    loudestChannel = savedLoudestChannel;
    level = savedLevel;
    memcpy(values, savedValues, valuesSize);
  }
  if (level != 0) {
    const double ratio = static_cast<double>(target) / level;
    for (DWORD i = 0; i < details.cChannels; ++i) {
      // Rounding up keeps a quiet channel from dropping to 0 while the line is audible. A
      // channel tied with the loudest can land just above the target; the mixer rejects a
      // whole write that holds any value past the maximum, so no channel may exceed it.
      const double scaled = std::ceil(values[i].dwValue * ratio);
      values[i].dwValue = scaled < maximum ? static_cast<DWORD>(scaled) : maximum;
    }
    values[loudestChannel].dwValue = target;
  } else {
    for (DWORD i = 0; i < details.cChannels; ++i) values[i].dwValue = target;
  }
  return mixerSetControlDetails(Object(), &details,
                                MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
}

HMIXEROBJ SoundLine::Object() const { return reinterpret_cast<HMIXEROBJ>(handle); }

// A device value past the maximum counts as the maximum, so the result stays on the scale
// and the last branch never divides by zero.
DWORD SoundLine::ToVolumeScale(DWORD deviceValue) const {
  const DWORD v = deviceValue < maximum ? deviceValue : maximum;
  if (maximum == VOLUME_SCALE_TOP) return v;
  if (maximum < VOLUME_SCALE_TOP) return v * VOLUME_SCALE_TOP / maximum;
  return v == 0 ? 0 : VOLUME_SCALE_TOP / (maximum / v);
}

// A volume past the top of the scale counts as the top, so the product never overflows
// and the result never passes the maximum.
DWORD SoundLine::ToDeviceUnits(DWORD volume) const {
  const DWORD x = volume < VOLUME_SCALE_TOP ? volume : VOLUME_SCALE_TOP;
  if (maximum == VOLUME_SCALE_TOP) return x;
  if (maximum < VOLUME_SCALE_TOP) return maximum * x / VOLUME_SCALE_TOP;
  return maximum / VOLUME_SCALE_TOP * x;
}
