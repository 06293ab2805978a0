// The simulated mixer as a stand-in winmm.dll, for running the Windows programs under Wine
// (placed beside the exe, with WINEDLLOVERRIDES=winmm=n,b). It reads its topology from the
// file named by KNOBVANE_SIM_MIXER and appends every mixer call to the file named by
// KNOBVANE_SIM_LOG, one line each, so a test can see each write a program makes.
//
// Topology file, one entry per line, names to the end of the line:
//   device NAME
//   destination CHANNELS NAME
//   source CHANNELS NAME
//   volume MAXIMUM STEPS VALUE...      (the volume control of the line above)
// A volume with no line above it in its device makes the whole file refused, with a message on
// standard error: the mixer then has no devices.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/sim/sim_mixer.h"

namespace {

// A line's channels in a topology file: a line has at least one, and no sound card has more.
constexpr unsigned long MAX_CHANNELS = 32;

FILE* callLog = nullptr;

const char* CallName(sim::Call call) {
  switch (call) {
    case sim::Call::GetNumDevs:
      return "mixerGetNumDevs";
    case sim::Call::Open:
      return "mixerOpen";
    case sim::Call::Close:
      return "mixerClose";
    case sim::Call::GetDevCaps:
      return "mixerGetDevCapsA";
    case sim::Call::GetLineInfo:
      return "mixerGetLineInfoA";
    case sim::Call::GetLineControls:
      return "mixerGetLineControlsA";
    case sim::Call::GetControlDetails:
      return "mixerGetControlDetailsA";
    case sim::Call::SetControlDetails:
      return "mixerSetControlDetails";
  }
  return "?";
}

void WriteCall(const sim::CallRecord& record) {
  fprintf(callLog, "%s device=%d flags=0x%08lx line=0x%08lx values=", CallName(record.call),
          record.device, static_cast<unsigned long>(record.flags),
          static_cast<unsigned long>(record.lineID));
  for (size_t i = 0; i < record.values.size(); ++i) {
    fprintf(callLog, "%s%lu", i ? "," : "", static_cast<unsigned long>(record.values[i]));
  }
  fprintf(callLog, " result=%u\n", record.result);
  fflush(callLog);
}

sim::Topology ReadTopology(FILE* file, const char* path) {
  sim::Topology topology;
  char text[512];
  for (int number = 1; fgets(text, sizeof text, file); ++number) {
    text[strcspn(text, "\r\n")] = '\0';
    char word[16];
    int used = 0;
    if (sscanf(text, "%15s %n", word, &used) != 1 || word[0] == '#') continue;
    const char* rest = text + used;
    unsigned long channels = 0;
    int nameAt = 0;
    const bool counted = (strcmp(word, "destination") == 0 || strcmp(word, "source") == 0) &&
                         sscanf(rest, "%lu %n", &channels, &nameAt) == 1;
    if (counted && (channels == 0 || channels > MAX_CHANNELS)) {
      fprintf(stderr, "winmm stand-in: %s, line %d: a line of %lu channels; no devices\n", path,
              number, channels);
      return sim::Topology();
    }
    if (strcmp(word, "device") == 0) {
      topology.Device(rest);
    } else if (strcmp(word, "destination") == 0 && counted && !topology.devices.empty()) {
      topology.Destination(rest + nameAt, static_cast<DWORD>(channels));
    } else if (strcmp(word, "source") == 0 && counted && !topology.devices.empty() &&
               !topology.devices.back().destinations.empty()) {
      topology.Source(rest + nameAt, static_cast<DWORD>(channels));
    } else if (strcmp(word, "volume") == 0 && !topology.HasLine()) {
      fprintf(stderr, "winmm stand-in: %s, line %d: a volume before any line; no devices\n", path,
              number);
      return sim::Topology();
    } else if (strcmp(word, "volume") == 0) {
      char* end = nullptr;
      const unsigned long maximum = strtoul(rest, &end, 10);
      const unsigned long steps = strtoul(end, &end, 10);
      std::vector<DWORD> values;
      for (char* next = end;; end = next) {
        const unsigned long value = strtoul(end, &next, 10);
        if (next == end) break;
        values.push_back(static_cast<DWORD>(value));
      }
      topology.Volume(static_cast<DWORD>(maximum), static_cast<DWORD>(steps), values);
    }
  }
  return topology;
}

// Runs when Wine loads the DLL, before the program's first mixer call.
struct StandIn {
  StandIn() {
    sim::Topology topology;
    if (const char* path = getenv("KNOBVANE_SIM_MIXER")) {
      if (FILE* file = fopen(path, "r")) {
        topology = ReadTopology(file, path);
        fclose(file);
      }
    }
    sim::Install(topology);
    if (const char* path = getenv("KNOBVANE_SIM_LOG")) {
      callLog = fopen(path, "a");
      if (callLog) sim::ObserveCalls(WriteCall);
    }
  }
} standIn;

}  // namespace
