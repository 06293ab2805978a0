#include <climits>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/sim_mixer.h"
#include "sound-lines/sound_line.h"

namespace {

typedef std::vector<DWORD> Values;

// In a one-device topology, line number 0 is the device and 1 its first destination line.
constexpr int32_t FIRST_LINE = 1;
const DWORD MASTER = sim::DestinationLineID(0);

sim::Topology OneLine(DWORD maximum, DWORD steps, const Values& values) {
  return sim::Topology()
      .Device("Card")
      .Destination("Master", static_cast<DWORD>(values.size()))
      .Volume(maximum, steps, values);
}

// The channel values of the last write, as the mixer received them.
Values Written() {
  const std::vector<sim::CallRecord> writes = sim::CallsOf(sim::Call::SetControlDetails);
  return writes.empty() ? Values{} : writes.back().values;
}

// Opens the line, then sets every volume in turn, checking what reaches the device.
struct Turn {
  Values changedElsewhere;  // set by another program before the call, when not empty
  DWORD volume;
  Values written;
};

void TurnTheKnob(const sim::Topology& topology, const std::vector<Turn>& turns) {
  sim::Install(topology);
  SoundLine line;
  ASSERT_TRUE(line.Open(nullptr, FIRST_LINE));
  for (const Turn& turn : turns) {
    SCOPED_TRACE(turn.volume);
    if (!turn.changedElsewhere.empty()) sim::SetChannelValues(0, MASTER, turn.changedElsewhere);
    EXPECT_EQ(line.SetVolume(turn.volume), MMSYSERR_NOERROR);
    EXPECT_EQ(Written(), turn.written);
    EXPECT_EQ(sim::ChannelValues(0, MASTER), turn.written);
  }
}

TEST(SoundLine, RestoresBalanceAfterSilence) {
  // stepSize 65535 / 32 = 2047.
  TurnTheKnob(OneLine(65535, 32, {40000, 20000}), {
                                                      {{}, 10000, {10000, 5000}},
                                                      {{}, 0, {0, 0}},
                                                      {{}, 30000, {30000, 15000}},
                                                  });
}

TEST(SoundLine, HonoursABalanceChangedElsewhere) {
  TurnTheKnob(OneLine(65535, 32, {40000, 20000}),
              {
                  {{}, 10000, {10000, 5000}},
                  {{3000, 12000}, 24000, {6000, 24000}},
                  // Silenced elsewhere: the balance read at the last call comes back.
                  {{0, 0}, 12000, {3000, 12000}},
              });
}

TEST(SoundLine, LevelAtStepSizeCountsAsSilence) {
  TurnTheKnob(OneLine(65535, 32, {40000, 20000}),
              {
                  {{}, 10000, {10000, 5000}},
                  {{2047, 1000}, 30000, {30000, 15000}},  // restored, not scaled
                  {{2048, 1024}, 4096, {4096, 2048}},
              });
}

TEST(SoundLine, ScalesEveryChannelWithTheLoudest) {
  struct Case {
    DWORD maximum, steps;
    Values before;
    DWORD volume;
    Values written;
  } cases[] = {
      {65535, 32, {20000}, 50000, {50000}},
      {65535, 32, {20000, 40000}, 10000, {5000, 10000}},
      {65535, 32, {30000, 60000, 15000}, 20000, {10000, 20000, 5000}},
      // Ties: the lowest index is the loudest and gets the target exactly; the other is
      // scaled like any channel and its rounding up lands one above.
      {65535, 32, {2994, 2994}, 1000, {1000, 1001}},
      // Level 49 (50 round-tripped through the volume scale), ratio 100/49.
      {100, 100, {50, 25}, 65535, {100, 52}},
      // Silent with no audible state yet: every channel gets the target.
      {65535, 32, {0, 0}, 30000, {30000, 30000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "maximum " << c.maximum << ", volume " << c.volume);
    TurnTheKnob(OneLine(c.maximum, c.steps, c.before), {{{}, c.volume, c.written}});
  }
}

TEST(SoundLine, ConvertsBetweenVolumeScaleAndDeviceUnits) {
  enum Way { READ, WRITE };
  struct Case {
    DWORD maximum;
    Way way;
    DWORD deviceValue, volume;
  } cases[] = {
      {65535, READ, 0, 0},      {65535, READ, 40000, 40000},  {65535, READ, 65535, 65535},
      {65535, WRITE, 0, 0},     {65535, WRITE, 32768, 32768}, {65535, WRITE, 65535, 65535},
      {100, READ, 0, 0},        {100, READ, 1, 655},          {100, READ, 50, 32767},
      {100, READ, 100, 65535},  {100, WRITE, 0, 655},         {100, WRITE, 50, 32768},
      {100, WRITE, 100, 65535}, {131070, READ, 0, 0},         {131070, READ, 1, 0},
      {131070, READ, 3, 1},     {131070, READ, 65535, 32767}, {131070, READ, 131070, 65535},
      {131070, WRITE, 0, 0},    {131070, WRITE, 2, 1},        {131070, WRITE, 131070, 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "maximum " << c.maximum << ", device value " << c.deviceValue
                                    << ", volume " << c.volume);
    sim::Install(OneLine(c.maximum, 32, {c.way == READ ? c.deviceValue : 0}));
    SoundLine line;
    ASSERT_TRUE(line.Open(nullptr, FIRST_LINE));
    if (c.way == READ) {
      EXPECT_EQ(line.GetVolume(), c.volume);
    } else {
      line.SetVolume(c.volume);
      EXPECT_EQ(Written(), Values{c.deviceValue});
    }
  }
}

// Card A (0): Speakers (1), Wave (2), Recording (3); Empty (4); Card B (5): Master (6),
// Synth (7). Synth has line ID 0 like Wave, so a search that ends without a match and goes
// on with a fresh object's line ID 0 would find it.
sim::Topology ThreeCards() {
  return sim::Topology()
      .Device("Card A")
      .Destination("Speakers")
      .Volume(65535, 32, {0, 0})
      .Source("Wave")
      .Volume(65535, 32, {0, 0})
      .Destination("Recording")
      .Volume(65535, 32, {0, 0})
      .Device("Empty")
      .Device("Card B")
      .Destination("Master")
      .Volume(65535, 32, {0, 0})
      .Source("Synth")
      .Volume(65535, 32, {0, 0});
}

TEST(SoundLine, OpensTheLineWithThatNumberAndADevicesNumberOpensTheNextLine) {
  struct Case {
    int32_t lineNumber;
    int device;
    DWORD lineID;
  } cases[] = {
      {0, 0, sim::DestinationLineID(0)}, {1, 0, sim::DestinationLineID(0)},
      {2, 0, sim::SourceLineID(0, 0)},   {3, 0, sim::DestinationLineID(1)},
      {4, 2, sim::DestinationLineID(0)},  // a device without lines: the next device's line
      {5, 2, sim::DestinationLineID(0)}, {6, 2, sim::DestinationLineID(0)},
      {7, 2, sim::SourceLineID(0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lineNumber);
    sim::Install(ThreeCards());
    SoundLine line;
    ASSERT_TRUE(line.Open(nullptr, c.lineNumber));
    EXPECT_EQ(sim::CallsOf(sim::Call::Open).back().passed, static_cast<UINT_PTR>(c.device));
    line.SetVolume(12345);
    EXPECT_EQ(sim::ChannelValues(c.device, c.lineID), (Values{12345, 12345}));
  }
}

TEST(SoundLine, NumberOfNoLineFailsWithoutOpeningADevice) {
  for (int32_t lineNumber : {-1, 8, 1000, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(lineNumber);
    sim::Install(ThreeCards());
    SoundLine line;
    EXPECT_FALSE(line.Open(nullptr, lineNumber));
    EXPECT_EQ(sim::CallsOf(sim::Call::Open).size(), 3u);  // the walk's own, one per device
    EXPECT_EQ(sim::CallsOf(sim::Call::GetLineControls).size(), 0u);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  sim::Install(sim::Topology());
  SoundLine line;
  EXPECT_FALSE(line.Open(nullptr, 0));
  EXPECT_TRUE(sim::CallsOf(sim::Call::Open).empty());
}

// After a failed Open the object holds nothing: no device stays open, and every later call
// is harmless and reaches no mixer.
TEST(SoundLine, FailedOpenLeavesNothingOpen) {
  struct Case {
    const char* what;
    sim::Topology topology;
    sim::Call failing;  // fails the object's own call of this kind; GetNumDevs fails none
  } cases[] = {
      {"device", OneLine(65535, 32, {1, 2}), sim::Call::Open},
      {"line query", OneLine(65535, 32, {1, 2}), sim::Call::GetLineInfo},
      {"control query", OneLine(65535, 32, {1, 2}), sim::Call::GetLineControls},
      {"no volume control", sim::Topology().Device("Card").Destination("Master"),
       sim::Call::GetNumDevs},
      {"maximum 0", OneLine(0, 32, {0, 0}), sim::Call::GetNumDevs},
      {"no channels", OneLine(65535, 32, {}), sim::Call::GetNumDevs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int nth = 0;
    if (c.failing != sim::Call::GetNumDevs) {
      // The object's call is the last of its kind: the walk's own come before it.
      sim::Install(c.topology);
      SoundLine probe;
      probe.Open(nullptr, FIRST_LINE);
      nth = static_cast<int>(sim::CallsOf(c.failing).size());
    }
    sim::Install(c.topology);
    if (nth != 0) sim::FailCall(c.failing, nth, MMSYSERR_ERROR);
    SoundLine line;
    EXPECT_FALSE(line.Open(nullptr, FIRST_LINE));
    EXPECT_EQ(sim::OpenHandleCount(), 0u);

    sim::ClearCalls();
    EXPECT_EQ(line.GetVolume(), 0u);
    EXPECT_EQ(line.SetVolume(30000), MMSYSERR_INVALHANDLE);
    line.Close();
    EXPECT_TRUE(sim::Calls().empty());
  }
}

TEST(SoundLine, ClosedLineMakesNoCalls) {
  sim::Install(OneLine(65535, 32, {1, 2}));
  SoundLine line;
  EXPECT_EQ(line.GetVolume(), 0u);
  EXPECT_EQ(line.SetVolume(30000), MMSYSERR_INVALHANDLE);
  line.Close();
  ASSERT_TRUE(line.Open(nullptr, FIRST_LINE));
  line.Close();
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  sim::ClearCalls();
  line.Close();
  EXPECT_EQ(line.SetVolume(30000), MMSYSERR_INVALHANDLE);
  EXPECT_TRUE(sim::Calls().empty());
}

TEST(SoundLine, ReopeningOrDestroyingReleasesTheDevice) {
  sim::Install(ThreeCards());
  {
    SoundLine line;
    ASSERT_TRUE(line.Open(nullptr, 1));
    ASSERT_TRUE(line.Open(nullptr, 6));
    EXPECT_EQ(sim::OpenHandleCount(), 1u);
  }
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST(SoundLine, MakesExactlyTheDocumentedCalls) {
  const HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x1234));
  for (HWND notifyWindow : {window, HWND{}}) {
    SCOPED_TRACE(notifyWindow ? "with window" : "without window");
    sim::Install(OneLine(65535, 32, {40000, 20000}));
    SoundLine line;
    ASSERT_TRUE(line.Open(notifyWindow, FIRST_LINE));
    sim::FailCall(sim::Call::SetControlDetails, 1, MMSYSERR_NOMEM);
    line.GetVolume();
    EXPECT_EQ(line.SetVolume(10000), MMSYSERR_NOMEM);
    line.Close();

    const std::vector<sim::CallRecord>& all = sim::Calls();
    // The walk ends with closing its device; the object's own calls follow.
    const std::vector<sim::CallRecord> calls(all.begin() + 5, all.end());
    ASSERT_EQ(calls.size(), 7u);
    const std::vector<sim::Call> kinds = {sim::Call::Open,
                                          sim::Call::GetLineInfo,
                                          sim::Call::GetLineControls,
                                          sim::Call::GetControlDetails,
                                          sim::Call::GetControlDetails,
                                          sim::Call::SetControlDetails,
                                          sim::Call::Close};
    for (size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(calls[i].call, kinds[i]) << i;

    EXPECT_EQ(calls[0].passed, 0u);
    EXPECT_EQ(calls[0].callback, reinterpret_cast<DWORD_PTR>(notifyWindow));
    EXPECT_EQ(calls[0].flags, notifyWindow ? CALLBACK_WINDOW : 0u);

    EXPECT_EQ(calls[1].flags, 2u);
    EXPECT_EQ(calls[1].size, sizeof(MIXERLINEA));
    EXPECT_EQ(calls[1].lineID, MASTER);

    EXPECT_EQ(calls[2].flags, 0x80000002u);
    EXPECT_EQ(calls[2].size, sizeof(MIXERLINECONTROLSA));
    EXPECT_EQ(calls[2].lineID, MASTER);
    EXPECT_EQ(calls[2].controlType, 0x50030001u);

    for (size_t i = 3; i <= 5; ++i) {
      EXPECT_EQ(calls[i].flags, 0x80000000u) << i;
      EXPECT_EQ(calls[i].size, sizeof(MIXERCONTROLDETAILS)) << i;
      EXPECT_EQ(calls[i].controlID, calls[3].controlID) << i;
    }
    EXPECT_EQ(calls[5].values, (Values{10000, 5000}));
    // The planted failure answers before the mixer looks at the object.
    EXPECT_EQ(calls[5].result, MMSYSERR_NOMEM);
    for (size_t i = 1; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].passed, calls[1].passed) << i;
      if (i == 5) continue;
      EXPECT_EQ(calls[i].object, sim::Object::Handle) << i;
      EXPECT_EQ(calls[i].result, MMSYSERR_NOERROR) << i;
    }
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}

// A stale balance from a line held before would be restored onto the new one, past the end
// of its arrays when that line has fewer channels.
TEST(SoundLine, ReopenedLineStartsWithoutTheOldBalance) {
  sim::Install(sim::Topology()
                   .Device("Card")
                   .Destination("Speakers", 2)
                   .Volume(65535, 32, {20000, 40000})
                   .Destination("Phones", 1)
                   .Volume(65535, 32, {0}));
  SoundLine line;
  ASSERT_TRUE(line.Open(nullptr, 1));
  line.SetVolume(10000);  // saves loudest channel 1 at 40000
  ASSERT_TRUE(line.Open(nullptr, 2));
  line.SetVolume(30000);
  EXPECT_EQ(Written(), Values{30000});
}

TEST(SoundLine, FailedFirstReadWritesOnlyTheTarget) {
  sim::Install(OneLine(65535, 32, {40000, 20000}));
  sim::FailCall(sim::Call::GetControlDetails, 1, MMSYSERR_ERROR);
  SoundLine line;
  ASSERT_TRUE(line.Open(nullptr, FIRST_LINE));
  line.SetVolume(30000);
  EXPECT_EQ(Written(), (Values{30000, 30000}));
}

TEST(SoundLine, ZeroStepCountLeavesOnlySilenceInaudible) {
  TurnTheKnob(OneLine(65535, 0, {1, 0}), {
                                             {{}, 65535, {65535, 0}},
                                             {{0, 0}, 100, {100, 0}},
                                         });
}

// A knob turned fully up on a coarse control must still reach the device: one value past
// the maximum and the mixer rejects the whole write.
TEST(SoundLine, NoChannelPassesTheMaximum) {
  TurnTheKnob(OneLine(100, 100, {50, 50}), {{{}, 65535, {100, 100}}});
}

TEST(SoundLine, TakesValuesPastTheScaleAsItsTop) {
  struct Case {
    DWORD maximum;
    DWORD deviceValue;  // read: a value past the maximum
    DWORD volume;       // written: a volume past 65535
    DWORD expected;     // volume read, or value written
  } reads[] =
      {
          {65535, 70000, 0, 65535},
          {100, 200, 0, 65535},
          {131070, 200000, 0, 65535},  // would divide by zero
      },
    writes[] = {
        {65535, 0, 0xFFFFFFFF, 65535},
        {0xFFFFFFFF, 0, 65536, 0xFFFFFFFF},  // (M / 65535) × 65536 would wrap round
    };
  for (const Case& c : reads) {
    SCOPED_TRACE(c.maximum);
    sim::Install(OneLine(c.maximum, 32, {c.deviceValue}));
    SoundLine line;
    ASSERT_TRUE(line.Open(nullptr, FIRST_LINE));
    EXPECT_EQ(line.GetVolume(), c.expected);
  }
  for (const Case& c : writes) {
    SCOPED_TRACE(c.maximum);
    TurnTheKnob(OneLine(c.maximum, 32, {0}), {{{}, c.volume, {c.expected}}});
  }
}

}  // namespace
