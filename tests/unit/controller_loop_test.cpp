// The controller's real connect/read/reconnect loop, on pseudo-terminals through the POSIX
// serial layer, driving the simulated mixer. Only the 2-second pause is replaced.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "controller/knobvane.h"
#include "platform/controller_services.h"
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

// ---- The states knobvane tells ------------------------------------------------------------

std::mutex toldLock;
std::vector<std::string> told;
std::atomic<bool> serverThere{true};

void Record(const char* line) {
  std::lock_guard<std::mutex> guard(toldLock);
  told.push_back(line);
}

std::vector<std::string> Told() {
  std::lock_guard<std::mutex> guard(toldLock);
  return told;
}

// Waits until a line holding text has been told.
bool Told(const std::string& text) {
  return Eventually([&] { return testing::PrintToString(Told()).find(text) != std::string::npos; });
}

bool ServerThere() { return serverThere; }
bool Retried() {
  return Eventually([] { return attempts >= 3; });
}

TEST_F(ControllerLoop, TellsEachChangeOfStateOnceAndNothingElse) {
  const std::string port = box_->Path();
  struct Row {
    const char* name;
    std::function<void()> steps;
    std::vector<std::string> lines;  // how each told line begins, in order
  } rows[] = {
      {"a port that is missing, then a box plugged in",
       [this] {
         Start("1");
         ASSERT_TRUE(Retried() && box_->PlugIn() && box_->Send("0\n1023\n") && Told("Reading"));
       },
       {port + " is not there: is the box plugged in?", "Reading the box on " + port + "."}},
      {"a file with readings in it, which no one must take for the box",
       [this] {
         FILE* file = fopen(box_->Path(), "w");
         ASSERT_TRUE(file != nullptr && fputs("1023\n0\n", file) >= 0 && fclose(file) == 0);
         Start("1");
         ASSERT_TRUE(Retried());
         EXPECT_TRUE(Writes().empty());
       },
       {port + " is a file, not a serial port."}},
      {"a silent box, then a reading",
       [this] {
         boxSilenceMs = 20;
         ASSERT_TRUE(box_->PlugIn());
         Start("1");
         ASSERT_TRUE(Told("nothing came") && box_->Send("512\n") && Told("Reading"));
       },
       {port + " is open, but nothing came from it", "Reading the box on " + port + "."}},
      {"lines that are not readings, then readings",
       [this] {
         ASSERT_TRUE(box_->PlugIn());
         Start("1");
         ASSERT_TRUE(box_->Send("hello\nworld\n7000\n12 34\n\n") && Told("not the box's"));
         ASSERT_TRUE(box_->Send("512\n1023\n") && Told("Reading"));
       },
       {port + " sends lines that are not the box's readings, like \"7000\"",
        "Reading the box on " + port + "."}},
      {"started before the sound server",
       [this] {
         serverThere = false;
         ASSERT_TRUE(box_->PlugIn());
         Start("1");
         ASSERT_TRUE(Retried());
         EXPECT_TRUE(sim::Calls().empty());  // no line is looked up without the server
         serverThere = true;
         ASSERT_TRUE(box_->Send("1023\n") && WritesReach(1));
       },
       {"Waiting for the sound server", "The sound server answers",
        "Reading the box on " + port + "."}},
      {"the sound server away, then back",
       [this] {
         ASSERT_TRUE(box_->PlugIn());
         Start("1");
         ASSERT_TRUE(box_->Send("512\n") && Told("Reading"));
         sim::FailCall(sim::Call::SetControlDetails, 2, MMSYSERR_NODRIVER);
         sim::FailCall(sim::Call::SetControlDetails, 3, MMSYSERR_NODRIVER);
         serverThere = false;
         ASSERT_TRUE(box_->Send("1023\n1023\n") && Told("went away"));
         serverThere = true;
         ASSERT_TRUE(box_->Send("0\n0\n") && Told("is back"));
       },
       {"Reading the box on " + port + ".", "The sound server went away",
        "The sound server is back."}},
      {"arguments: a line that comes later, a word, more than six",
       [this] {
         Start("6 x abc x x x 2 3");  // lines 0 to 4 are there
         ASSERT_TRUE(Told("not there"));
         sim::Install(Card().Device("Headset").Destination("Phones", 2).Volume(65535, 32, {1, 1}));
         ASSERT_TRUE(Told("is there now"));
       },
       {"Knob 2: \"abc\" is no line number",
        "The box has six knobs, 0 to 5: the line arguments after the sixth (2 3)",
        "Knob 0: there is no sound line 6", port + " is not there",
        "Knob 0: sound line 6 is there now."}},
  };
  tellState = Record;
  soundServerThere = ServerThere;
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    told.clear();
    serverThere = true;
    boxSilenceMs = 60000;  // never passes in a row that is not about a silent box
    row.steps();
    Stop();
    unlink(box_->Path());  // the file a row put where the box plugs in
    const std::vector<std::string> lines = Told();
    ASSERT_EQ(lines.size(), row.lines.size()) << testing::PrintToString(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].find(row.lines[i]), 0u) << lines[i];
    }
    TearDown();
  }
  tellState = platform::TellState;
  soundServerThere = nullptr;
  boxSilenceMs = 5000;
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
