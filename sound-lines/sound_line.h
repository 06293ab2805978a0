// Sound lines: every mixer device, destination line and source line of the machine,
// walked in one fixed order that gives each entry its line number. Linescout prints the
// numbers; the controller's SoundLine objects count through the same walk to find the line
// a user picked and set its volume, so both programs number identically.
#ifndef KNOBVANE_SOUND_LINES_SOUND_LINE_H
#define KNOBVANE_SOUND_LINES_SOUND_LINE_H

#include <cstdint>

#include "platform/win32.h"

// What a walk visits; the visitor gets it as its first argument.
enum VisitKind : int32_t {
  VISIT_DEVICE = 1,
  VISIT_DESTINATION = 2,
  VISIT_SOURCE = 3,
};

// Called once per entry with the walk's own records, valid only during the call. On a
// device visit the line record still holds what the previous query left in it. Returns 0
// to go on, anything else to stop the walk.
typedef int32_t (*LineVisitor)(VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line,
                               void* context);

// Visits every device, then each of its destination lines followed by that line's sources,
// device after device. Counting the visits from 0 gives the line numbers. Failed queries
// are visited all the same (with the records as they are), so they keep their numbers.
void ForEachSoundLine(LineVisitor visitor, void* context);

// The volume of one sound line, picked by its line number. The loudest channel gets exactly
// the level asked for and the others keep their ratio to it, so the balance survives; a line
// turned down to silence gets its last audible balance back when it is turned up again.
class SoundLine {
 public:
  SoundLine() = default;
  ~SoundLine();
  SoundLine(const SoundLine&) = delete;
  SoundLine& operator=(const SoundLine&) = delete;

  // Lets go of any line held, then opens the line numbered lineNumber and its volume
  // control; notifyWindow, when not null, gets the mixer's change messages. False when no
  // line has that number, the line has no channels or volume control, or the mixer fails.
  bool Open(HWND notifyWindow, int32_t lineNumber);
  // Releases the line and its device; does nothing when no line is open.
  void Close();
  // Reads the line: its loudest channel on the volume scale 0..65535; 0 when not open.
  DWORD GetVolume();
  // Sets the loudest channel to volume (volume scale 0..65535; more counts as 65535) and the
  // others in their ratio to it. Returns the write's MMRESULT; MMSYSERR_INVALHANDLE when not
  // open.
  MMRESULT SetVolume(DWORD volume);

 private:
  static int32_t SearchLine(VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line,
                            void* context);
  bool Abandon();
  void ReleaseValues();
  HMIXEROBJ Object() const;
  DWORD ToVolumeScale(DWORD deviceValue) const;
  DWORD ToDeviceUnits(DWORD volume) const;

  HMIXER handle = nullptr;
  MIXERLINEA line{};
  MIXERLINECONTROLSA lineControls{};
  MIXERCONTROLA control{};
  MIXERCONTROLDETAILS details{};
  MIXERCONTROLDETAILS_UNSIGNED* values = nullptr;       // owned; null while closed
  MIXERCONTROLDETAILS_UNSIGNED* savedValues = nullptr;  // owned; the last audible state
  DWORD valuesSize = 0;                                 // bytes in each array
  int32_t loudestChannel = 0;
  int32_t savedLoudestChannel = 0;
  DWORD maximum = 0;   // device units
  DWORD level = 0;     // device units, the loudest channel as the last SetVolume took it
  DWORD stepSize = 0;  // device units; levels up to it are inaudible
  DWORD savedLevel = 0;
  int32_t visitCount = 0;
  int32_t targetLineNumber = 0;
  DWORD foundLineID = 0;
  bool lineFound = false;
  int32_t deviceIndex = -1;
};

#endif  // KNOBVANE_SOUND_LINES_SOUND_LINE_H
