// The simulated mixer's test API (sim_mixer.h): installing a topology, planting failures,
// reading the log of calls, and seeing or changing a line's values as another program would.
#include "platform/sim/sim_mixer.h"

#include "platform/sim/state.h"

namespace sim {

Line* FindLine(int device, DWORD lineID) {
  for (Line& destination : TheMixer().devices[device].destinations) {
    if (destination.lineID == lineID) return &destination;
    for (Line& source : destination.sources) {
      if (source.lineID == lineID) return &source;
    }
  }
  return nullptr;
}

Topology& Topology::Device(const std::string& name) {
  devices.push_back(sim::Device{name, {}});
  lastLine_ = nullptr;
  return *this;
}

Topology& Topology::Destination(const std::string& name, DWORD channels) {
  std::vector<Line>& lines = devices.back().destinations;
  Line line;
  line.name = name;
  line.channels = channels;
  line.lineID = DestinationLineID(static_cast<DWORD>(lines.size()));
  lines.push_back(line);
  lastLine_ = &lines.back();
  return *this;
}

Topology& Topology::Source(const std::string& name, DWORD channels) {
  std::vector<Line>& destinations = devices.back().destinations;
  Line& destination = destinations.back();
  Line line;
  line.name = name;
  line.channels = channels;
  line.lineID = SourceLineID(static_cast<DWORD>(destinations.size() - 1),
                             static_cast<DWORD>(destination.sources.size()));
  destination.sources.push_back(line);
  lastLine_ = &destination.sources.back();
  return *this;
}

Topology& Topology::Volume(DWORD maximum, DWORD steps, const std::vector<DWORD>& values) {
  Line& line = LastLine();
  line.hasVolume = true;
  line.volume.maximum = maximum;
  line.volume.steps = steps;
  line.volume.values = values;
  line.volume.values.resize(line.channels);
  // Control IDs: unique in the device, derived from the line so they stay stable.
  line.controlID = line.lineID ^ 0x00C00000u;
  return *this;
}

Line& Topology::LastLine() { return *lastLine_; }

DWORD DestinationLineID(DWORD destination) { return 0xFFFF0000u + destination; }
DWORD SourceLineID(DWORD destination, DWORD source) { return (source << 16) | destination; }

void Install(const Topology& topology) {
  Guard guard;
  State& s = TheMixer();
  void (*observer)(const CallRecord&) = s.observer;
  s = State{};
  s.observer = observer;
  s.devices = topology.devices;
  if (s.devices.size() > MAX_DEVICES) s.devices.resize(MAX_DEVICES);
}

void FailCall(Call call, int nth, MMRESULT code) {
  Guard guard;
  TheMixer().failures.push_back(Failure{call, nth, code});
}

std::vector<CallRecord> Calls() {
  Guard guard;
  return TheMixer().calls;
}

std::vector<CallRecord> CallsOf(Call call) {
  Guard guard;
  std::vector<CallRecord> found;
  for (const CallRecord& record : TheMixer().calls) {
    if (record.call == call) found.push_back(record);
  }
  return found;
}

void ClearCalls() {
  Guard guard;
  TheMixer().calls.clear();
}

void ObserveCalls(void (*observer)(const CallRecord&)) {
  Guard guard;
  TheMixer().observer = observer;
}

size_t OpenHandleCount() {
  Guard guard;
  return TheMixer().handles.size();
}

std::vector<DWORD> ChannelValues(int device, DWORD lineID) {
  Guard guard;
  const Line* line = FindLine(device, lineID);
  return line ? line->volume.values : std::vector<DWORD>{};
}

void SetChannelValues(int device, DWORD lineID, const std::vector<DWORD>& values) {
  Guard guard;
  Line* line = FindLine(device, lineID);
  if (line) line->volume.values = values;
}

}  // namespace sim
