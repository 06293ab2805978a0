// The simulated mixer: a deterministic, in-memory stand-in for the Windows multimedia
// mixer, for tests. A test installs a topology of devices, destination lines and source
// lines, may make any single call fail, and reads back a log of every call and the
// handles still open. It knows nothing of the programs that call it.
#ifndef KNOBVANE_PLATFORM_SIM_SIM_MIXER_H
#define KNOBVANE_PLATFORM_SIM_SIM_MIXER_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim {

// A line's volume control, in device units.
struct Volume {
  DWORD maximum = 65535;
  DWORD steps = 32;
  std::vector<DWORD> values;  // one per channel
};

struct Line {
  std::string name;
  DWORD lineID = 0;
  DWORD channels = 2;
  bool hasVolume = false;
  DWORD controlID = 0;
  Volume volume;
  std::vector<Line> sources;  // a destination line's source lines
};

struct Device {
  std::string name;
  std::vector<Line> destinations;
};

// Builds a topology in reading order, e.g.
//   Topology().Device("Card").Destination("Master", 2).Volume(65535, 32, {40000, 20000})
// Line IDs and control IDs are given out automatically, unique within a device.
class Topology {
 public:
  Topology& Device(const std::string& name);
  Topology& Destination(const std::string& name, DWORD channels = 2);
  Topology& Source(const std::string& name, DWORD channels = 2);
  // Gives the line added last a volume control; only after a line (HasLine).
  Topology& Volume(DWORD maximum, DWORD steps, const std::vector<DWORD>& values);
  // Whether a line was added since the last device, for Volume to give a control to.
  bool HasLine() const { return lastLine_ != nullptr; }

  std::vector<sim::Device> devices;

 private:
  Line& LastLine();
  Line* lastLine_ = nullptr;
};

enum class Call {
  GetNumDevs,
  Open,
  Close,
  GetDevCaps,
  GetLineInfo,
  GetLineControls,
  GetControlDetails,
  SetControlDetails,
};

// How a call named its device.
enum class Object { None, Index, Handle };

// One call as the mixer saw it. Fields that do not apply to the call stay 0.
struct CallRecord {
  Call call = Call::GetNumDevs;
  Object object = Object::None;
  UINT_PTR passed = 0;  // the handle or index exactly as passed
  int device = -1;      // the device it resolved to, -1 when none
  DWORD flags = 0;
  DWORD size = 0;         // cbStruct of the record passed, or the caps size
  DWORD destination = 0;  // line queries: dwDestination, dwSource, dwLineID as passed
  DWORD source = 0;
  DWORD lineID = 0;       // details: the line the control belongs to
  DWORD controlType = 0;  // control query: dwControlType as passed
  DWORD controlID = 0;    // details: dwControlID as passed
  DWORD_PTR callback = 0;
  std::vector<DWORD> values;  // details: the channel values read or written
  MMRESULT result = MMSYSERR_NOERROR;
};

// Every function here and every mixer call is safe to use from several threads.

// Replaces the whole mixer: clears the log, the failures and the open handles.
void Install(const Topology& topology);

// Makes the nth call (1-based, counted from Install) of that kind return code and do
// nothing else.
void FailCall(Call call, int nth, MMRESULT code);

std::vector<CallRecord> Calls();
std::vector<CallRecord> CallsOf(Call call);
void ClearCalls();

// Calls observer with every call as it is logged (the stand-in winmm.dll writes them out).
void ObserveCalls(void (*observer)(const CallRecord&));

// Mixer handles opened and not yet closed.
size_t OpenHandleCount();

// The channel values of a line, as another program would see or change them.
std::vector<DWORD> ChannelValues(int device, DWORD lineID);
void SetChannelValues(int device, DWORD lineID, const std::vector<DWORD>& values);

// Line ID of destination j, or of its source s, as Topology gives them out.
DWORD DestinationLineID(DWORD destination);
DWORD SourceLineID(DWORD destination, DWORD source);

}  // namespace sim

#endif  // KNOBVANE_PLATFORM_SIM_SIM_MIXER_H
