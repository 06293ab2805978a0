// The rules winmm applies to a mixer call around what the mixer itself answers: record sizes,
// flags, how a handle or an index names a device, the bounds of written values and how a name
// fits its field, each broken rule with winmm's result code. Both stand-ins for winmm's mixer
// (platform/sim, platform/pulse) apply them, so a call answered by one is answered alike by
// the other and by Windows.
//
// A call checks, stopping at the first failure: its record (INVALPARAM), its flags (INVALFLAG,
// or NOTSUPPORTED for a query winmm knows that these mixers do not serve), its object
// (CheckObject, CheckIndex), then what the record names (MIXERR_INVALLINE for a line the
// device has not, MIXERR_INVALCONTROL for a control), then the details and values it carries.
#ifndef KNOBVANE_PLATFORM_WINMM_RULES_H
#define KNOBVANE_PLATFORM_WINMM_RULES_H

#include <cstddef>
#include <string>

#include "platform/win32.h"

// The handle-type bits of a mixer call's flags, which the system headers leave unnamed.
#ifndef MIXER_OBJECTF_TYPEMASK
#define MIXER_OBJECTF_TYPEMASK 0xF0000000u
#endif

namespace winmm {

// mixerOpen: a place for the handle, and no callback or a window (nothing is posted to it).
MMRESULT CheckOpen(const HMIXER* mixer, DWORD_PTR callback, DWORD flags);

// The records, checked before anything else. Caps may be of any size (CopyCaps); a line
// record and a details record at least their size, a controls record exactly its size asking
// for one control of at least MIXERCONTROLA's size.
MMRESULT CheckCapsRecord(const MIXERCAPSA* caps);
MMRESULT CheckLineRecord(const MIXERLINEA* line);
MMRESULT CheckControlsRecord(const MIXERLINECONTROLSA* controls);
MMRESULT CheckDetailsRecord(const MIXERCONTROLDETAILS* details);

// The flags beyond the object type: the line queries by destination, source and line ID; the
// control queries one by ID and one by type; the details' value query, to read or to write.
MMRESULT CheckLineInfoFlags(DWORD flags);
MMRESULT CheckLineControlsFlags(DWORD flags);
MMRESULT CheckDetailsFlags(DWORD flags);

// Whether a call's object may stand, given whether it is an open handle: with no type bit it
// is the open handle it is, or else a device index (CheckIndex); with the handle bit it must
// be an open handle (INVALHANDLE); any other object type is not served (NOTSUPPORTED).
MMRESULT CheckObject(DWORD flags, bool isOpenHandle);
// A device index: BADDEVICEID from the device count on.
MMRESULT CheckIndex(UINT_PTR index, size_t devices);

// A details record for a control of a line of that many channels: values of
// MIXERCONTROLDETAILS_UNSIGNED, one per channel, or one for them all.
bool DetailsFit(const MIXERCONTROLDETAILS* details, DWORD channels);
// A write with any value above the control's maximum writes nothing (INVALPARAM).
MMRESULT CheckValues(const MIXERCONTROLDETAILS* details, DWORD maximum);
// The value a write gives that channel of the line: its own, or the one for every channel.
DWORD WrittenValue(const MIXERCONTROLDETAILS* details, DWORD channel);
// Fills a read's values from the line's, one per channel: a read of one value gets the first
// channel's (a stereo line's left), as winmm's drivers answer it, whatever the others hold.
void PutValues(const MIXERCONTROLDETAILS* details, const DWORD* channels);

// Copies the caps into the caller's record, no further than its size.
void CopyCaps(const MIXERCAPSA& caps, MIXERCAPSA* to, UINT size);
// Clears a line record for filling, telling the caller the size filled.
void ClearLine(MIXERLINEA* line);
// Puts the one control asked for in the caller's record, with the line it belongs to.
void PutControl(MIXERLINECONTROLSA* controls, DWORD lineID, const MIXERCONTROLA& control);
// A volume control's record: 0..maximum in that many steps, short name "Volume".
MIXERCONTROLA VolumeControl(DWORD controlID, const char* name, DWORD maximum, DWORD steps);
inline MIXERCONTROLA VolumeControl(DWORD controlID, const std::string& name, DWORD maximum,
                                   DWORD steps) {
  return VolumeControl(controlID, name.c_str(), maximum, steps);
}

// Copies a name into a field of that size, cut so that no UTF-8 character is split and ended.
// The Windows programs' own mixer face passes plain strings: a C++ library string would
// multiply their size.
void CopyName(char* field, size_t size, const char* name);
template <size_t N>
void CopyName(char (&field)[N], const char* name) {
  CopyName(field, N, name);
}
template <size_t N>
void CopyName(char (&field)[N], const std::string& name) {
  CopyName(field, N, name.c_str());
}

}  // namespace winmm

#endif  // KNOBVANE_PLATFORM_WINMM_RULES_H
