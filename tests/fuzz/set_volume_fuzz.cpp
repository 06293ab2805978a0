// Opens a line with any volume control (maximum, step count, 1 to 8 channels, values that
// may lie past the maximum), then turns it with any volumes while other programs change it
// and mixer reads and writes fail, and checks what reaches the mixer by its properties: no
// channel past the maximum; a channel at the requested share of the control's range, within
// a step of rounding; the other channels in their ratio to the loudest one of the values the
// line worked from (those read, or the last audible ones when the line was silent), within
// rounding; silence exact; what GetVolume reads the loudest channel's share of the range;
// every handle given back after Close.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/sim/sim_mixer.h"
#include "sound-lines/sound_line.h"

namespace {

typedef std::vector<DWORD> Values;
typedef unsigned __int128 Wide;  // products of two 32-bit values, and a little more

const int32_t FIRST_LINE = 1;  // line 0 is the device
const DWORD MASTER = sim::DestinationLineID(0);
const uint64_t SCALE_TOP = 65535;

// Stops the run, saying which check failed.
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  fprintf(stderr, "set_volume_fuzz.cpp:%d: check failed\n", line);
  abort();
}

// The control against the volume scale 0..SCALE_TOP: the exact shares, and how far the line's
// rounding may take a value from them.
struct Control {
  uint64_t maximum;
  uint64_t stepSize;  // device units a step spans; levels up to it are inaudible

  // Where the range is at most the scale's, or a whole multiple of it, each conversion rounds
  // down by less than one device unit; wider ranges convert a whole number of device units per
  // scale unit, so a level rounds down by less than one device unit per scale unit.
  bool Fine() const { return maximum <= SCALE_TOP || maximum % SCALE_TOP == 0; }

  // Whether `level` is volume's share of the range, rounded down by less than a step.
  bool AtLevel(uint64_t level, uint64_t volume) const {
    const Wide exact = Wide{volume} * maximum;  // times SCALE_TOP
    const Wide scaled = Wide{level} * SCALE_TOP;
    // A wider range converts a whole number of device units per scale unit: it falls short by
    // the rest of that division for every scale unit of the volume.
    const Wide shortfall = Fine() ? 0 : Wide{volume} * (maximum % SCALE_TOP);
    return scaled <= exact && exact - scaled < shortfall + SCALE_TOP;
  }

  // The least and the most the line may take a loudest channel of `top` (within the range)
  // for: it goes through the volume scale and back. Where the range is at most the scale's,
  // that rounds down by under a device unit; a wider range reads coarsely, at most a scale
  // step plus a unit per scale unit below, and anywhere up to the maximum above.
  uint64_t LeastLevel(uint64_t top) const {
    const uint64_t loss = maximum <= SCALE_TOP ? 1 : maximum / SCALE_TOP + SCALE_TOP;
    return top > loss ? top - loss : 0;
  }
  uint64_t MostLevel(uint64_t top) const { return maximum <= SCALE_TOP ? top : maximum; }
};

enum class Heard { AUDIBLE, SILENT, UNKNOWN };

// Whether the line takes a loudest channel of `loudest` for audible (above one step), as far
// as the round trip through the volume scale lets us know.
Heard HeardAt(const Control& control, uint64_t loudest) {
  const uint64_t within = std::min(loudest, control.maximum);
  if (within <= control.stepSize) return Heard::SILENT;
  if (control.LeastLevel(within) > control.stepSize) return Heard::AUDIBLE;
  return Heard::UNKNOWN;
}

// What the line holds between calls, as far as the checks can know it.
struct Held {
  Values values;    // the channel values last read or written
  Values saved;     // of the last audible state
  bool savedKnown;  // false once a write left it unclear whether the line saved
};

size_t Loudest(const Values& values) {
  size_t loudest = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] > values[loudest]) loudest = i;
  }
  return loudest;
}

uint64_t CeilDivide(Wide numerator, uint64_t denominator) {
  return static_cast<uint64_t>((numerator + denominator - 1) / denominator);
}

// The write scaled `from` so that its loudest channel got the level: each other channel keeps
// its ratio to it, rounded up (so a quiet channel stays audible) and capped at the maximum.
// The line divides by the loudest value as it takes it (LeastLevel..MostLevel), and the ratio
// goes through floating point: one unit either way.
void CheckRatio(const Control& control, const Values& from, const Values& written) {
  const size_t loudest = Loudest(from);
  const uint64_t level = written[loudest];
  const uint64_t top = std::min<uint64_t>(from[loudest], control.maximum);
  const uint64_t least = control.LeastLevel(top);
  const uint64_t most = control.MostLevel(top);
  for (size_t i = 0; i < from.size(); ++i) {
    if (i == loudest) continue;
    if (top == 0) {  // nothing audible to keep: every channel at the level
      Check(written[i] == level);
      continue;
    }
    const uint64_t low = std::min(control.maximum, CeilDivide(Wide{from[i]} * level, most));
    Check(uint64_t{written[i]} + 1 >= low);
    if (least > 0) {
      const uint64_t high = CeilDivide(Wide{from[i]} * level, least) + 1;
      Check(written[i] <= std::min(control.maximum, high));
    }
  }
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
          // The line's values start at 0, its last audible state silent.
          held = Held{Values(channels, 0), Values(channels, 0), true};
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
          // The loudest channel's share of the range: exact where the range is at most the
          // scale's; else never below the share, and exact at silence and full scale.
          const uint64_t loudest =
              std::min<uint64_t>(held.values[Loudest(held.values)], control.maximum);
          const Wide share = Wide{loudest} * SCALE_TOP;  // times the maximum
          Check(Wide{volume} * control.maximum <= share || control.maximum > SCALE_TOP);
          Check(Wide{volume + 1} * control.maximum > share);
          if (loudest == 0) Check(volume == 0);
          if (loudest == control.maximum) Check(volume == SCALE_TOP);
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

          const uint64_t requested = std::min<uint64_t>(volume, SCALE_TOP);
          if (requested == 0) {
            for (DWORD value : written) Check(value == 0);
          }
          // A channel at the level asked for; at full scale, where the range allows, the
          // maximum itself.
          const auto atRequested = [&](DWORD value) { return control.AtLevel(value, requested); };
          Check(std::any_of(written.begin(), written.end(), atRequested));

          // Which values the line scaled: those it read, or when they are silent the last
          // audible ones, which it then keeps.
          LastRead(&held.values);
          const Heard heard = HeardAt(control, held.values[Loudest(held.values)]);
          if (heard == Heard::AUDIBLE) {
            held.saved = held.values;
            held.savedKnown = true;
          }
          if (heard == Heard::UNKNOWN) held.savedKnown = false;
          if (heard != Heard::UNKNOWN && held.savedKnown) {
            Check(control.AtLevel(written[Loudest(held.saved)], requested));
            CheckRatio(control, held.saved, written);
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
