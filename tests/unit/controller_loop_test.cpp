// The controller's real connect/read/reconnect loop, on pseudo-terminals through the POSIX
// serial layer, driving the simulated mixer. Only the 2-second pause is replaced.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "controller/knobvane.h"
#include "platform/sim/sim_mixer.h"
#include "tests/support/controller_thread.h"
#include "tests/support/deadline.h"

namespace {

using support::attempts;
using support::Eventually;

void ExpectTheProgramsPause(DWORD milliseconds) { EXPECT_EQ(milliseconds, 2000u); }

// Line numbers: 0 Card, 1 Speakers, 2 Wave, 3 Mono, 4 Spare.
sim::Topology Card() {
  return sim::Topology()
      .Device("Card")
      .Destination("Speakers", 2)
      .Volume(65535, 32, {40000, 20000})
      .Source("Wave", 2)
      .Volume(100, 100, {50, 25})
      .Destination("Mono", 1)
      .Volume(65535, 32, {1000})
      .Destination("Spare", 2)
      .Volume(65535, 32, {1, 1});
}
const DWORD SPEAKERS = sim::DestinationLineID(0);
const DWORD WAVE = sim::SourceLineID(0, 0);

class ControllerLoop : public testing::Test {
 protected:
  void SetUp() override {
    sim::Install(Card());
    for (int32_t& line : channelLines) line = NO_LINE;
    support::pauseAsked = ExpectTheProgramsPause;
  }

  void TearDown() override {
    controller_.Stop();
    for (SoundLine& line : channelSoundLines) line.Close();
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }

  void Start(const std::string& lineArguments) { controller_.Start(lineArguments); }
  void Stop() { controller_.Stop(); }

  std::vector<sim::CallRecord> Writes() { return sim::CallsOf(sim::Call::SetControlDetails); }

  bool WritesReach(size_t count) {
    return Eventually([&] { return Writes().size() >= count; });
  }

  support::ControllerThread controller_;
  support::Box* box_ = &controller_.box;
};

TEST_F(ControllerLoop, AppliesReadingsToTheMappedLinesOnlyKeepingBalance) {
  ASSERT_TRUE(box_->PlugIn());
  Start("1 x 2");  // channel 0: Speakers, channel 2: Wave
  ASSERT_TRUE(box_->Send("1023\n1535\n2560\n5119\n6144\n-1\n1023\n"));
  ASSERT_TRUE(WritesReach(3));
  ASSERT_TRUE(Eventually([&] { return box_->Drained(); }));
  Stop();

  const std::vector<sim::CallRecord> writes = Writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].lineID, SPEAKERS);
  EXPECT_EQ(writes[0].values, (std::vector<DWORD>{65535, 32768}));
  EXPECT_EQ(writes[1].lineID, WAVE);
  EXPECT_EQ(writes[1].values, (std::vector<DWORD>{50, 26}));
  EXPECT_EQ(writes[2].lineID, SPEAKERS);  // the same level again is applied again
  EXPECT_EQ(writes[2].values, (std::vector<DWORD>{65535, 32768}));
  EXPECT_EQ(controller_.ExitStatus(), 0);
}

TEST_F(ControllerLoop, ReopensPortAfterHangUp) {
  ASSERT_TRUE(box_->PlugIn());
  Start("1");
  ASSERT_TRUE(box_->Send("512\n"));
  ASSERT_TRUE(WritesReach(1));

  box_->Unplug();
  const int64_t attemptsBefore = attempts;
  ASSERT_TRUE(Eventually([&] { return attempts > attemptsBefore + 2; }));  // retrying
  ASSERT_TRUE(box_->PlugIn());
  ASSERT_TRUE(box_->Send("1023\n"));
  ASSERT_TRUE(WritesReach(2));
  EXPECT_EQ(Writes()[0].values, (std::vector<DWORD>{32799, 16400}));
  EXPECT_EQ(Writes()[1].values, (std::vector<DWORD>{65535, 32769}));
}

TEST_F(ControllerLoop, RetriesAPortThatDoesNotExistYet) {
  Start("1");
  ASSERT_TRUE(Eventually([&] { return attempts >= 3; }));
  EXPECT_TRUE(Writes().empty());
  ASSERT_TRUE(box_->PlugIn());
  ASSERT_TRUE(box_->Send("0\n"));
  ASSERT_TRUE(WritesReach(1));
  EXPECT_EQ(Writes()[0].values, (std::vector<DWORD>{0, 0}));
}

TEST_F(ControllerLoop, SurvivesGarbageOverlongAndEmptyLines) {
  ASSERT_TRUE(box_->PlugIn());
  Start("1");
  ASSERT_TRUE(box_->Send(std::string("knob\n") + "\n" + std::string(300, '7') + "\n" +
                         std::string("\xff\x00\x01\x7f\n", 5) + "99999999999999999999\n" + "-5\n" +
                         std::string(2000, '\0') + "\n" + "1023\r\n"));
  ASSERT_TRUE(Eventually([&] { return box_->Drained(); }));
  ASSERT_TRUE(Eventually([&] {
    const std::vector<sim::CallRecord> writes = Writes();
    return !writes.empty() && writes.back().values == std::vector<DWORD>{65535, 32768};
  }));
  // Silence, then full volume: the balance came back from before the silence.
  EXPECT_EQ(sim::ChannelValues(0, SPEAKERS), (std::vector<DWORD>{65535, 32768}));
}

TEST_F(ControllerLoop, AppliesABurstOfTenThousandReadingsInOrder) {
  ASSERT_TRUE(box_->PlugIn());
  Start("1");
  std::string burst;
  std::vector<DWORD> expected;
  for (int i = 0; i < 10000; ++i) {
    const int adc = (i * 7) % 1024;
    burst += std::to_string(adc) + "\n";
    expected.push_back(VolumeOfAdc(adc));
  }
  std::thread sender([&] { ASSERT_TRUE(box_->Send(burst)); });
  const bool arrived = WritesReach(expected.size());
  sender.join();
  ASSERT_TRUE(arrived);
  const std::vector<sim::CallRecord> writes = Writes();
  ASSERT_EQ(writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(writes[i].values[0], expected[i]) << "reading " << i;  // the loudest channel
  }
}

TEST_F(ControllerLoop, WithOnlyAPortShowsUsageThenReadsAndIgnoresEverything) {
  ASSERT_TRUE(box_->PlugIn());
  testing::internal::CaptureStderr();
  Start("");
  ASSERT_TRUE(Eventually([&] { return attempts >= 1; }));
  const std::string usage = testing::internal::GetCapturedStderr();
  EXPECT_NE(usage.find("Help"), std::string::npos);
  EXPECT_NE(usage.find("USAGE: Knobvane.exe <COM-port> <Line0> [Line1] [Line2] [Line3] [Line4] "
                       "[Line5]\nwhere COM-port is \"COMn\" or \"\\\\.\\COMnn\"\n"
                       "Line[0..5] is sound line, corresponding to ADC channel number\n"
                       "put here \"x\" to skip ADC channel \nEXAMPLES:\n"
                       "Knobvane.exe COM3 1 2 3\nKnobvane.exe \\\\.\\COM13 x x x 3 2 1"),
            std::string::npos);
  ASSERT_TRUE(box_->Send("0\n1023\n2047\n5119\n"));
  ASSERT_TRUE(Eventually([&] { return box_->Drained(); }));
  Stop();
  EXPECT_TRUE(sim::Calls().empty());  // no line opened, nothing written
}

// Runs the program's start until its first connection attempt, then ends it.
int RunOnce(const char* commandLine) {
  support::stopping = true;
  support::pauseAsked = ExpectTheProgramsPause;
  connectPause = support::QuickPause;
  ArgumentList arguments(commandLine);
  return RunKnobvane(arguments);
}

std::vector<DWORD> OpenedLineIDs() {
  std::vector<DWORD> ids;
  for (const sim::CallRecord& call : sim::CallsOf(sim::Call::GetLineInfo)) {
    if (call.flags == MIXER_GETLINEINFOF_LINEID) ids.push_back(call.lineID);
  }
  return ids;
}

TEST(ControllerArguments, AssignLinesToChannelsInOrder) {
  struct Row {
    const char* commandLine;
    int32_t lines[CHANNEL_COUNT];
    std::vector<DWORD> opened;  // in channel order
  } rows[] = {
      {"Knobvane.exe COM3 1 2 3",
       {1, 2, 3, NO_LINE, NO_LINE, NO_LINE},
       {SPEAKERS, WAVE, sim::DestinationLineID(1)}},
      {"Knobvane.exe \\\\.\\COM13 x x x 3 2 1",
       {NO_LINE, NO_LINE, NO_LINE, 3, 2, 1},
       {sim::DestinationLineID(1), WAVE, SPEAKERS}},
      // Past the sixth line argument there are no channels.
      {"Knobvane.exe COM3 1 1 1 1 1 4 2 3", {1, 1, 1, 1, 1, 4}, {}},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.commandLine);
    sim::Install(Card());
    for (int32_t& line : channelLines) line = NO_LINE;
    EXPECT_EQ(RunOnce(row.commandLine), 0);
    for (int channel = 0; channel < CHANNEL_COUNT; ++channel) {
      EXPECT_EQ(channelLines[channel], row.lines[channel]) << "channel " << channel;
    }
    if (!row.opened.empty()) {
      EXPECT_EQ(OpenedLineIDs(), row.opened);
    }
    for (SoundLine& line : channelSoundLines) line.Close();
  }
}

TEST(ControllerArguments, WithoutAPortShowsUsageAndExitsWithOne) {
  sim::Install(Card());
  for (int32_t& line : channelLines) line = NO_LINE;
  attempts = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RunOnce("Knobvane.exe"), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("USAGE: Knobvane.exe"), std::string::npos);
  EXPECT_EQ(attempts, 0);
  EXPECT_TRUE(sim::Calls().empty());
}

}  // namespace
