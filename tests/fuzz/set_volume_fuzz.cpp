// Opens a line with any volume control (maximum, step count, 1 to 8 channels, values that
// may lie past the maximum), then turns it with any volumes while other programs change it
// and mixer reads and writes fail, and checks what reaches the mixer: no channel past the
// maximum; the loudest channel (the one read, or the one of the last audible state when the
// line was silent) exactly at the target; every handle given back after Close.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/sim/sim_mixer.h"
#include "sound-lines/sound_line.h"

namespace {

typedef std::vector<DWORD> Values;

const int32_t FIRST_LINE = 1;  // line 0 is the device
const DWORD MASTER = sim::DestinationLineID(0);
const uint64_t SCALE_TOP = 65535;

void Check(bool condition) {
  if (!condition) abort();
}

// The control's units against the volume scale, worked out in 64 bits.
struct Control {
  uint64_t maximum;
  uint64_t stepSize;

  uint64_t ToScale(uint64_t v) const {
    if (v > maximum) v = maximum;
    if (maximum == SCALE_TOP) return v;
    if (maximum < SCALE_TOP) return v * SCALE_TOP / maximum;
    return v == 0 ? 0 : SCALE_TOP / (maximum / v);
  }
  uint64_t ToDevice(uint64_t x) const {
    if (x > SCALE_TOP) x = SCALE_TOP;
    if (maximum == SCALE_TOP) return x;
    if (maximum < SCALE_TOP) return maximum * x / SCALE_TOP;
    return maximum / SCALE_TOP * x;
  }
};

// What the line object holds between calls, as far as the checks need it.
struct Held {
  Values values;  // the channel values last read or written
  Values saved;   // of the last audible state
  size_t savedLoudest = 0;
  uint64_t savedLevel = 0;
};

size_t Loudest(const Values& values) {
  size_t loudest = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] > values[loudest]) loudest = i;
  }
  return loudest;
}

DWORD AnyValue(FuzzedDataProvider& input, DWORD maximum) {
  // Mostly within the control's range, sometimes anywhere.
  if (input.ConsumeIntegralInRange<int>(0, 7) == 0) return input.ConsumeIntegral<DWORD>();
  return input.ConsumeIntegralInRange<DWORD>(0, maximum);
}

DWORD AnyMaximum(FuzzedDataProvider& input) {
  const DWORD usual[] = {65535, 100, 131070, 1, 255, 65536, 0xFFFFFFFF, 0};
  if (input.ConsumeBool()) return input.PickValueInArray(usual);
  return input.ConsumeIntegral<DWORD>();
}

// Makes the next call of that kind fail.
void FailNext(sim::Call call, const std::map<sim::Call, size_t>& made) {
  const auto found = made.find(call);
  const size_t before = found == made.end() ? 0 : found->second;
  sim::FailCall(call, static_cast<int>(before + 1), MMSYSERR_ERROR);
}

// The channel values the last successful read delivered, if there was one since ClearCalls.
bool LastRead(Values* values) {
  const std::vector<sim::CallRecord> reads = sim::CallsOf(sim::Call::GetControlDetails);
  if (reads.empty() || reads.back().result != MMSYSERR_NOERROR) return false;
  *values = reads.back().values;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const DWORD maximum = AnyMaximum(input);
  const DWORD steps = input.ConsumeBool() ? input.ConsumeIntegral<DWORD>()
                                          : input.ConsumeIntegralInRange<DWORD>(0, 256);
  const DWORD channels = input.ConsumeIntegralInRange<DWORD>(1, 8);
  Values initial;
  for (DWORD i = 0; i < channels; ++i) initial.push_back(AnyValue(input, maximum));
  sim::Install(sim::Topology()
                   .Device("Card")
                   .Destination("Master", channels)
                   .Volume(maximum, steps, initial));
  const Control control{maximum, steps == 0 ? 0 : uint64_t{maximum} / steps};

  {
    SoundLine line;
    Held held;
    bool open = false;
    bool writeFails = false;
    std::map<sim::Call, size_t> made;  // calls of each kind since Install
    // Opens the line first, then whenever the input says so: (re)open, perhaps with a
    // failing query.
    int operation = 0;
    for (int turn = 0; turn < 32 && input.remaining_bytes() > 0; ++turn) {
      for (const sim::CallRecord& call : sim::Calls()) made[call.call] += 1;
      sim::ClearCalls();
      if (turn > 0) operation = input.ConsumeIntegralInRange<int>(0, 7);
      switch (operation) {
        case 0: {
          bool failing = false;
          if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            const sim::Call calls[] = {sim::Call::Open, sim::Call::GetLineInfo,
                                       sim::Call::GetLineControls};
            FailNext(input.PickValueInArray(calls), made);
            failing = true;
          }
          open = line.Open(nullptr, FIRST_LINE);
          // A failed Open gives back the device it may have opened.
          Check(sim::OpenHandleCount() == (open ? 1 : 0));
          Check(open || failing || maximum == 0);
          held = Held{Values(channels, 0), Values(channels, 0), 0, 0};
          break;
        }
        case 1: {  // another program changes the line
          Values values;
          for (DWORD i = 0; i < channels; ++i) values.push_back(AnyValue(input, maximum));
          sim::SetChannelValues(0, MASTER, values);
          break;
        }
        case 2:  // the next read fails
          FailNext(sim::Call::GetControlDetails, made);
          break;
        case 3:  // the next write fails
          FailNext(sim::Call::SetControlDetails, made);
          writeFails = true;
          break;
        case 4: {
          const DWORD volume = line.GetVolume();
          Check(volume <= SCALE_TOP);
          if (!open) {
            Check(volume == 0);
            break;
          }
          LastRead(&held.values);
          Check(volume == control.ToScale(held.values[Loudest(held.values)]));
          break;
        }
        default: {
          const DWORD volume = input.ConsumeBool() ? input.ConsumeIntegral<DWORD>()
                                                   : input.ConsumeIntegralInRange<DWORD>(0, 65535);
          const MMRESULT result = line.SetVolume(volume);
          if (!open) {
            Check(result == MMSYSERR_INVALHANDLE);
            Check(sim::Calls().empty());
            break;
          }
          const std::vector<sim::CallRecord> writes = sim::CallsOf(sim::Call::SetControlDetails);
          Check(writes.size() == 1);
          const Values& written = writes.back().values;
          Check(written.size() == channels);
          // The mixer refuses a whole write with any value past the maximum.
          Check(result == (writeFails ? MMSYSERR_ERROR : MMSYSERR_NOERROR));
          writeFails = false;
          for (DWORD value : written) Check(value <= maximum);

          const uint64_t target = control.ToDevice(volume);
          LastRead(&held.values);
          size_t loudest = Loudest(held.values);
          uint64_t level = control.ToDevice(control.ToScale(held.values[loudest]));
          if (level > control.stepSize) {
            held.saved = held.values;
            held.savedLoudest = loudest;
            held.savedLevel = level;
          } else {
            loudest = held.savedLoudest;
            level = held.savedLevel;
          }
          if (level != 0) {
            Check(written[loudest] == target);
          } else {
            for (DWORD value : written) Check(value == target);
          }
          held.values = written;
          break;
        }
      }
    }
  }
  // The line's destruction closes it: nothing stays open, whatever happened.
  Check(sim::OpenHandleCount() == 0);
  return 0;
}
