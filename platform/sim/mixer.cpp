// The Windows multimedia mixer (winmm's mixer* functions), simulated in memory.
//
// It checks what winmm checks (record sizes, flags, handles, bounds of written values) by
// winmm's rules (platform/winmm_rules.h), as the PulseAudio mixer does, so code that passes
// here passes the real thing.
#include <cstring>

#include "platform/sim/sim_mixer.h"
#include "platform/sim/state.h"
#include "platform/winmm_rules.h"

// winmm's functions are stdcall on 32-bit Windows, where this file also builds into the
// stand-in winmm.dll; elsewhere the convention is the only one there is.
#ifndef WINAPI
#define WINAPI
#endif
// Built into the stand-in winmm.dll, the mixer functions are its only exports.
#ifdef _WIN32
#define EXPORTED __declspec(dllexport)
#else
#define EXPORTED
#endif

namespace sim {
namespace {

// Counts the call and tells whether a failure was planted for it.
bool Planted(Call call, MMRESULT* code) {
  State& s = TheMixer();
  const int nth = ++s.callCounts[call];
  for (const Failure& f : s.failures) {
    if (f.call == call && f.nth == nth) {
      *code = f.code;
      return true;
    }
  }
  return false;
}

MMRESULT Log(CallRecord record, MMRESULT result) {
  record.result = result;
  State& s = TheMixer();
  if (s.observer) s.observer(record);
  s.calls.push_back(record);
  return result;
}

// Resolves a mixer object by winmm's rules: an open handle, or else a device index.
MMRESULT Resolve(UINT_PTR object, DWORD flags, CallRecord* record) {
  State& s = TheMixer();
  auto open = s.handles.find(object);
  const MMRESULT named = winmm::CheckObject(flags, open != s.handles.end());
  if (named != MMSYSERR_NOERROR) return named;
  if (open != s.handles.end()) {
    record->object = Object::Handle;
    record->device = open->second;
    return MMSYSERR_NOERROR;
  }
  record->object = Object::Index;
  const MMRESULT index = winmm::CheckIndex(object, s.devices.size());
  if (index == MMSYSERR_NOERROR) record->device = static_cast<int>(object);
  return index;
}

// The first failure of two checks made in order.
MMRESULT First(MMRESULT check, MMRESULT then) { return check != MMSYSERR_NOERROR ? check : then; }

// Counts the call and ends it with a planted failure, else with the failure of the checks
// of its record and flags, else with an object that names no device.
MMRESULT Start(CallRecord* record, UINT_PTR object, DWORD flags, MMRESULT checked) {
  record->passed = object;
  MMRESULT code;
  if (Planted(record->call, &code)) return code;
  if (checked != MMSYSERR_NOERROR) return checked;
  return Resolve(object, flags, record);
}

// What the log keeps of a call with a record of its caller's: the call, its flags, the
// record's size.
template <typename Record>
CallRecord Recorded(Call call, DWORD flags, const Record* record) {
  CallRecord recorded;
  recorded.call = call;
  recorded.flags = flags;
  if (record != nullptr) recorded.size = record->cbStruct;
  return recorded;
}

// A call on a device, from its record to its log entry: counted, a planted failure first, then
// the checks of its record and flags (`checked`), then its object, then `answer` with the device
// it names.
template <typename Answer>
MMRESULT OnDevice(CallRecord record, UINT_PTR object, DWORD flags, MMRESULT checked,
                  Answer answer) {
  Guard guard;
  MMRESULT result = Start(&record, object, flags, checked);
  if (result == MMSYSERR_NOERROR) result = answer(&record, TheMixer().devices[record.device]);
  return Log(record, result);
}

Line* FindControl(int device, DWORD controlID) {
  for (Line& destination : TheMixer().devices[device].destinations) {
    if (destination.hasVolume && destination.controlID == controlID) return &destination;
    for (Line& source : destination.sources) {
      if (source.hasVolume && source.controlID == controlID) return &source;
    }
  }
  return nullptr;
}

void FillLine(const Device& device, DWORD destination, DWORD source, bool isSource,
              const Line& from, MIXERLINEA* line) {
  winmm::ClearLine(line);
  line->dwDestination = destination;
  line->dwSource = isSource ? source : 0;
  line->dwLineID = from.lineID;
  line->fdwLine = MIXERLINE_LINEF_ACTIVE | (isSource ? MIXERLINE_LINEF_SOURCE : 0);
  line->dwComponentType =
      isSource ? MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
  line->cChannels = from.channels;
  line->cConnections = isSource ? 0 : static_cast<DWORD>(from.sources.size());
  line->cControls = from.hasVolume ? 1 : 0;
  winmm::CopyName(line->szShortName, from.name);
  winmm::CopyName(line->szName, from.name);
  winmm::CopyName(line->Target.szPname, device.name);
}

}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

EXPORTED UINT WINAPI mixerGetNumDevs(void) {
  Guard guard;
  CallRecord record;
  record.call = Call::GetNumDevs;
  MMRESULT code;
  if (Planted(Call::GetNumDevs, &code)) {
    Log(record, code);
    return 0;
  }
  Log(record, MMSYSERR_NOERROR);
  return static_cast<UINT>(TheMixer().devices.size());
}

EXPORTED MMRESULT WINAPI mixerOpen(LPHMIXER phmx, UINT uMxId, DWORD_PTR dwCallback,
                                   DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
  Guard guard;
  State& s = TheMixer();
  CallRecord record;
  record.call = Call::Open;
  record.object = Object::Index;
  record.passed = uMxId;
  record.flags = fdwOpen;
  record.callback = dwCallback;
  MMRESULT code;
  if (Planted(Call::Open, &code)) return Log(record, code);
  const MMRESULT checked = First(winmm::CheckOpen(phmx, dwCallback, fdwOpen),
                                 winmm::CheckIndex(uMxId, s.devices.size()));
  if (checked != MMSYSERR_NOERROR) return Log(record, checked);
  record.device = static_cast<int>(uMxId);
  const UINT_PTR handle = s.nextHandle++;
  s.handles[handle] = record.device;
  *phmx = reinterpret_cast<HMIXER>(handle);
  return Log(record, MMSYSERR_NOERROR);
}

EXPORTED MMRESULT WINAPI mixerClose(HMIXER hmx) {
  Guard guard;
  State& s = TheMixer();
  CallRecord record;
  record.call = Call::Close;
  record.object = Object::Handle;
  record.passed = reinterpret_cast<UINT_PTR>(hmx);
  MMRESULT code;
  if (Planted(Call::Close, &code)) return Log(record, code);
  auto open = s.handles.find(record.passed);
  if (open == s.handles.end()) return Log(record, MMSYSERR_INVALHANDLE);
  record.device = open->second;
  s.handles.erase(open);
  return Log(record, MMSYSERR_NOERROR);
}

EXPORTED MMRESULT WINAPI mixerGetDevCapsA(UINT_PTR uMxId, LPMIXERCAPSA pmxcaps, UINT cbmxcaps) {
  CallRecord record;
  record.call = Call::GetDevCaps;
  record.size = cbmxcaps;
  return OnDevice(record, uMxId, MIXER_OBJECTF_MIXER, winmm::CheckCapsRecord(pmxcaps),
                  [&](CallRecord* call, const Device& device) -> MMRESULT {
                    MIXERCAPSA caps;
                    memset(&caps, 0, sizeof caps);
                    caps.wMid = 0x4B;
                    caps.wPid = static_cast<WORD>(call->device);
                    caps.vDriverVersion = 0x0100;
                    winmm::CopyName(caps.szPname, device.name);
                    caps.cDestinations = static_cast<DWORD>(device.destinations.size());
                    winmm::CopyCaps(caps, pmxcaps, cbmxcaps);
                    return MMSYSERR_NOERROR;
                  });
}

EXPORTED MMRESULT WINAPI mixerGetLineInfoA(HMIXEROBJ hmxobj, LPMIXERLINEA pmxl, DWORD fdwInfo) {
  CallRecord record = Recorded(Call::GetLineInfo, fdwInfo, pmxl);
  if (pmxl != nullptr) {
    record.destination = pmxl->dwDestination;
    record.source = pmxl->dwSource;
    record.lineID = pmxl->dwLineID;
  }
  return OnDevice(record, reinterpret_cast<UINT_PTR>(hmxobj), fdwInfo,
                  First(winmm::CheckLineRecord(pmxl), winmm::CheckLineInfoFlags(fdwInfo)),
                  [&](CallRecord*, const Device& device) -> MMRESULT {
                    switch (fdwInfo & MIXER_GETLINEINFOF_QUERYMASK) {
                      case MIXER_GETLINEINFOF_DESTINATION: {
                        if (pmxl->dwDestination >= device.destinations.size()) {
                          return MIXERR_INVALLINE;
                        }
                        const Line& line = device.destinations[pmxl->dwDestination];
                        FillLine(device, pmxl->dwDestination, 0, false, line, pmxl);
                        return MMSYSERR_NOERROR;
                      }
                      case MIXER_GETLINEINFOF_SOURCE: {
                        if (pmxl->dwDestination >= device.destinations.size()) {
                          return MIXERR_INVALLINE;
                        }
                        const Line& destination = device.destinations[pmxl->dwDestination];
                        if (pmxl->dwSource >= destination.sources.size()) return MIXERR_INVALLINE;
                        FillLine(device, pmxl->dwDestination, pmxl->dwSource, true,
                                 destination.sources[pmxl->dwSource], pmxl);
                        return MMSYSERR_NOERROR;
                      }
                      default:  // by line ID
                        for (size_t j = 0; j < device.destinations.size(); ++j) {
                          const Line& destination = device.destinations[j];
                          if (destination.lineID == pmxl->dwLineID) {
                            FillLine(device, static_cast<DWORD>(j), 0, false, destination, pmxl);
                            return MMSYSERR_NOERROR;
                          }
                          for (size_t k = 0; k < destination.sources.size(); ++k) {
                            if (destination.sources[k].lineID == pmxl->dwLineID) {
                              FillLine(device, static_cast<DWORD>(j), static_cast<DWORD>(k), true,
                                       destination.sources[k], pmxl);
                              return MMSYSERR_NOERROR;
                            }
                          }
                        }
                        return MIXERR_INVALLINE;
                    }
                  });
}

EXPORTED MMRESULT WINAPI mixerGetLineControlsA(HMIXEROBJ hmxobj, LPMIXERLINECONTROLSA pmxlc,
                                               DWORD fdwControls) {
  CallRecord record = Recorded(Call::GetLineControls, fdwControls, pmxlc);
  if (pmxlc != nullptr) {
    record.lineID = pmxlc->dwLineID;
    record.controlType = pmxlc->dwControlType;
  }
  return OnDevice(
      record, reinterpret_cast<UINT_PTR>(hmxobj), fdwControls,
      First(winmm::CheckControlsRecord(pmxlc), winmm::CheckLineControlsFlags(fdwControls)),
      [&](CallRecord* call, const Device&) -> MMRESULT {
        const Line* line = nullptr;
        if ((fdwControls & MIXER_GETLINECONTROLSF_QUERYMASK) == MIXER_GETLINECONTROLSF_ONEBYID) {
          line = FindControl(call->device, pmxlc->dwControlID);
          if (line == nullptr) return MIXERR_INVALCONTROL;
        } else {
          line = FindLine(call->device, pmxlc->dwLineID);
          if (line == nullptr) return MIXERR_INVALLINE;
          if (!line->hasVolume || pmxlc->dwControlType != MIXERCONTROL_CONTROLTYPE_VOLUME) {
            return MIXERR_INVALCONTROL;
          }
        }
        winmm::PutControl(pmxlc, line->lineID,
                          winmm::VolumeControl(line->controlID, line->name + " Volume",
                                               line->volume.maximum, line->volume.steps));
        return MMSYSERR_NOERROR;
      });
}

EXPORTED MMRESULT WINAPI mixerGetControlDetailsA(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                                 DWORD fdwDetails) {
  CallRecord record = Recorded(Call::GetControlDetails, fdwDetails, pmxcd);
  if (pmxcd != nullptr) record.controlID = pmxcd->dwControlID;
  return OnDevice(record, reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails,
                  First(winmm::CheckDetailsRecord(pmxcd), winmm::CheckDetailsFlags(fdwDetails)),
                  [&](CallRecord* call, const Device&) -> MMRESULT {
                    const Line* line = FindControl(call->device, pmxcd->dwControlID);
                    if (line == nullptr) return MIXERR_INVALCONTROL;
                    call->lineID = line->lineID;
                    if (!winmm::DetailsFit(pmxcd, line->channels)) return MMSYSERR_INVALPARAM;
                    winmm::PutValues(pmxcd, line->volume.values.data());
                    const auto* values =
                        static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
                    for (DWORD i = 0; i < pmxcd->cChannels; ++i)
                      call->values.push_back(values[i].dwValue);
                    return MMSYSERR_NOERROR;
                  });
}

EXPORTED MMRESULT WINAPI mixerSetControlDetails(HMIXEROBJ hmxobj, LPMIXERCONTROLDETAILS pmxcd,
                                                DWORD fdwDetails) {
  CallRecord record = Recorded(Call::SetControlDetails, fdwDetails, pmxcd);
  if (pmxcd != nullptr) {
    record.controlID = pmxcd->dwControlID;
    if (pmxcd->paDetails != nullptr && pmxcd->cbDetails == sizeof(MIXERCONTROLDETAILS_UNSIGNED)) {
      const auto* values = static_cast<const MIXERCONTROLDETAILS_UNSIGNED*>(pmxcd->paDetails);
      for (DWORD i = 0; i < pmxcd->cChannels && i < 64; ++i)
        record.values.push_back(values[i].dwValue);
    }
  }
  return OnDevice(record, reinterpret_cast<UINT_PTR>(hmxobj), fdwDetails,
                  First(winmm::CheckDetailsRecord(pmxcd), winmm::CheckDetailsFlags(fdwDetails)),
                  [&](CallRecord* call, const Device&) -> MMRESULT {
                    Line* line = FindControl(call->device, pmxcd->dwControlID);
                    if (line == nullptr) return MIXERR_INVALCONTROL;
                    call->lineID = line->lineID;
                    if (!winmm::DetailsFit(pmxcd, line->channels)) return MMSYSERR_INVALPARAM;
                    const MMRESULT inBounds = winmm::CheckValues(pmxcd, line->volume.maximum);
                    if (inBounds != MMSYSERR_NOERROR) return inBounds;
                    for (DWORD i = 0; i < line->channels; ++i) {
                      line->volume.values[i] = winmm::WrittenValue(pmxcd, i);
                    }
                    return MMSYSERR_NOERROR;
                  });
}

}  // extern "C"
