// The three steps the controller takes for every reading, on their own: reading the box's
// line from the port (a pseudo-terminal), decoding it, and setting a line's volume (on the
// simulated mixer, whose cost is a read and a write of the control plus its call log, so this
// is the controller's side of the work).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "bench/bench.h"
#include "controller/knobvane.h"
#include "platform/sim/sim_mixer.h"
#include "serial/serial.h"
#include "sound-lines/sound_line.h"
#include "tests/support/pty_box.h"

namespace {

// What a box sends: full scale, channels 1 and 5, a knob at the bottom, and a garbage line.
const char* const LINES[] = {"1023", "1535", "5119", "4", "knob"};

void BM_DecodeReading(benchmark::State& state) {
  size_t i = 0;
  for (auto _ : state) {
    // Not const: Google Benchmark 1.9 deprecates DoNotOptimize on a const value.
    Reading reading = DecodeReading(LINES[i]);
    benchmark::DoNotOptimize(reading);
    i = i + 1 == sizeof LINES / sizeof *LINES ? 0 : i + 1;
  }
}
BENCHMARK(BM_DecodeReading);

void BM_SetVolume(benchmark::State& state) {
  sim::Install(
      sim::Topology().Device("Card").Destination("Speakers", 2).Volume(65535, 32, {40000, 20000}));
  SoundLine line;
  if (!line.Open(nullptr, 1)) {
    state.SkipWithError("the simulated line did not open");
    return;
  }
  int adc = 32;
  int64_t sinceClear = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(line.SetVolume(VolumeOfAdc(adc)));
    adc = adc == READING_ADC_TOP ? 32 : adc + 1;
    // The simulated mixer logs every call; emptying the log now and then keeps its memory
    // from growing with the iteration count.
    if (++sinceClear == 65536) {
      state.PauseTiming();
      sim::ClearCalls();
      sinceClear = 0;
      state.ResumeTiming();
    }
  }
  line.Close();
}
BENCHMARK(BM_SetVolume);

// ReadComLine as the controller calls it, one byte per ReadFile, on lines that are already in
// the port: what the serial layer itself costs a reading, with its system calls shared by a
// burst of lines as they are when the box sends fast.
void BM_ReadComLine(benchmark::State& state) {
  constexpr int BURST = 40;  // 200 bytes: one read of the port takes them all
  std::string burst;
  for (int i = 0; i < BURST; ++i) burst += ReadingLine(0, READING_ADC_TOP);
  support::Box box;
  HANDLE port = box.PlugIn() ? OpenComPort(box.Path(), READING_BAUD) : INVALID_HANDLE_VALUE;
  if (port == INVALID_HANDLE_VALUE) {
    state.SkipWithError("no pseudo-terminal to read");
    return;
  }
  char line[256];
  int left = 0;
  for (auto _ : state) {
    if (left == 0) {
      box.Send(burst);
      left = BURST;
    }
    benchmark::DoNotOptimize(ReadComLine(port, line, sizeof line));
    --left;
  }
  CloseComPort(port);
}
BENCHMARK(BM_ReadComLine);

}  // namespace

BENCHMARK_MAIN();
