// The mixer functions the Windows programs call, answered for winmm's devices by winmm itself
// and for the three devices after them (lines.h) by us, under winmm's rules
// (platform/winmm_rules.h), so a caller sees winmm's codes whichever device it names.
//
// winmm's devices, and every call naming them (by index, by one of winmm's handles, or in a way
// only winmm understands), go straight through: their numbers and every byte they read or write
// stay winmm's. Our handles are the addresses of slots of ours, which no handle of winmm's can
// equal; winmm's handles opened through the face are known, so one passed without the handle
// bit is never taken for an index of ours.
#pragma once

#include <cstdint>

#include "platform/coreaudio/lines.h"
#include "platform/win32.h"

namespace coreaudio {

// winmm's mixer functions: the system's on Windows, the simulated mixer's in tests.
struct LegacyMixer {
  UINT(WINAPI* getNumDevs)(void);
  MMRESULT(WINAPI* open)(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
  MMRESULT(WINAPI* close)(HMIXER);
  MMRESULT(WINAPI* getDevCaps)(UINT_PTR, LPMIXERCAPSA, UINT);
  MMRESULT(WINAPI* getLineInfo)(HMIXEROBJ, LPMIXERLINEA, DWORD);
  MMRESULT(WINAPI* getLineControls)(HMIXEROBJ, LPMIXERLINECONTROLSA, DWORD);
  MMRESULT(WINAPI* getControlDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
  MMRESULT(WINAPI* setControlDetails)(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
};

// Handles of ours and of winmm's open at once; the programs hold one per knob and the walk's.
constexpr int MAX_OPEN = 32;

class MixerFace {
 public:
  MixerFace(const LegacyMixer& legacy, Lines& lines) : legacy_(legacy), lines_(lines) {}
  MixerFace(const MixerFace&) = delete;
  MixerFace& operator=(const MixerFace&) = delete;

  // The mixer functions, with winmm's arguments and result codes.
  UINT GetNumDevs();
  MMRESULT Open(LPHMIXER mixer, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
  MMRESULT Close(HMIXER mixer);
  MMRESULT GetDevCaps(UINT_PTR id, LPMIXERCAPSA caps, UINT size);
  MMRESULT GetLineInfo(HMIXEROBJ object, LPMIXERLINEA line, DWORD flags);
  MMRESULT GetLineControls(HMIXEROBJ object, LPMIXERLINECONTROLSA controls, DWORD flags);
  MMRESULT GetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags);
  MMRESULT SetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags);

 private:
  struct Slot {
    bool open;
    Device device;
  };

  // Whether a call's object is one of our devices (which, in *device, and whether by handle);
  // false for everything winmm answers.
  bool Ours(UINT_PTR object, DWORD flags, Device* device, bool* byHandle);
  Slot* SlotOf(UINT_PTR object);
  bool FindLine(Device device, DWORD lineID, DWORD* destination);
  DWORD Destinations(Device device);
  void FillLine(Device device, DWORD destination, MIXERLINEA* line);
  MMRESULT Details(const MIXERCONTROLDETAILS* details, DWORD flags, Device device, bool byHandle,
                   DWORD* destination);

  LegacyMixer legacy_;
  Lines& lines_;
  Slot slots_[MAX_OPEN] = {};
  HMIXER legacyOpen_[MAX_OPEN] = {};
};

}  // namespace coreaudio
