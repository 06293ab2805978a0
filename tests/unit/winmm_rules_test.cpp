// winmm's rules for bad mixer calls, against the simulated mixer.
#include "platform/sim/sim_mixer.h"
#include "tests/winmm_rules_suite.h"

struct SimulatedMixer {
  static constexpr UINT DEVICE = 0, OTHER = 1, LONG_NAMED = 2, DEVICES = 3;
  static constexpr DWORD LINE = 0xFFFF0000u;  // sim::DestinationLineID(0)
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}
  static void SetUp() {
    sim::Install(sim::Topology()
                     .Device("Card")
                     .Destination("Speakers", 2)
                     .Volume(65535, 32, {40000, 20000})
                     .Source("Wave", 2)
                     .Volume(65535, 32, {1000, 2000})
                     .Device("Microphone")
                     .Destination("Recording", 1)
                     .Volume(65535, 32, {30000})
                     .Device(winmm_rules::LongName())
                     .Destination("Speakers", 2));
  }
  static std::vector<DWORD> Outside() { return sim::ChannelValues(DEVICE, LINE); }
};

namespace winmm_rules {
INSTANTIATE_TYPED_TEST_SUITE_P(WinmmRules, WinmmRules, SimulatedMixer);
}  // namespace winmm_rules
