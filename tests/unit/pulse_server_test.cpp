// The pulse face's rules over a sound server in memory (fake_link.h): what a write to a device
// away, a default line, a session manager's restore and the writes on their way come to,
// without a server and without waiting.
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/fake_link.h"
#include "tests/winmm_rules_suite.h"

// Only its records are of use here: the suite itself runs against the real servers.
namespace winmm_rules {
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WinmmRules);
}  // namespace winmm_rules

namespace {

using pulse::Facility;
using pulse_fake::FakeLink;
using pulse_fake::Map;
using pulse_fake::Sent;

constexpr DWORD MASTER = 0xFFFF0000u;
constexpr DWORD FIRST_APPLICATION = 0x00010000u;
constexpr UINT DEFAULT_OUTPUT = 0, KNOBS = 2;
constexpr int64_t MS = 1000000;

// A Server over a fake link, its lists in a folder of its own: an output "knobs" (index 0) and
// an input "mic" (index 1), the defaults, then the test's own.
class World {
 public:
  World() {
    char folder[] = "/tmp/knobvane-pulse-rules-XXXXXX";
    folder_ = mkdtemp(folder);
    setenv("XDG_STATE_HOME", folder_.c_str(), 1);
    auto fake = std::make_unique<FakeLink>();
    link = fake.get();
    server = std::make_unique<pulse::Server>(std::move(fake));
    link->Sink(0, "knobs", {32768, 16384});
    link->Device(false, 1, "mic", {65536, 65536}, Map(2));
    link->Defaults("knobs", "mic");
  }
  ~World() {
    server.reset();
    std::filesystem::remove_all(folder_);
  }

  HMIXER Open(UINT place) {
    HMIXER mixer = nullptr;
    EXPECT_EQ(server->Open(&mixer, place, 0, 0), MMSYSERR_NOERROR);
    return mixer;
  }
  MMRESULT Write(HMIXER mixer, std::vector<DWORD> values, DWORD line = MASTER) {
    MIXERCONTROLDETAILS details = winmm_rules::DetailsOf(line, &values);
    return server->SetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &details,
                                     MIXER_OBJECTF_HMIXER);
  }
  std::vector<DWORD> Read(HMIXER mixer, DWORD count = 2, DWORD line = MASTER) {
    std::vector<DWORD> values(count, 0xDEAD);
    MIXERCONTROLDETAILS details = winmm_rules::DetailsOf(line, &values);
    EXPECT_EQ(server->GetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &details,
                                        MIXER_OBJECTF_HMIXER),
              MMSYSERR_NOERROR);
    return values;
  }
  MIXERCAPSA Caps(UINT_PTR object) {
    MIXERCAPSA caps;
    EXPECT_EQ(server->GetDevCaps(object, &caps, sizeof caps), MMSYSERR_NOERROR);
    return caps;
  }
  DWORD LineChannels(HMIXER mixer) {
    MIXERLINEA line;
    memset(&line, 0, sizeof line);
    line.cbStruct = sizeof line;
    EXPECT_EQ(server->GetLineInfo(reinterpret_cast<HMIXEROBJ>(mixer), &line,
                                  MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_DESTINATION),
              MMSYSERR_NOERROR);
    return line.cChannels;
  }

  FakeLink* link;
  std::unique_ptr<pulse::Server> server;

 private:
  std::string folder_;
};

// A device seen later comes after the others and before the applications, and keeps its number,
// its name and its handle while it is away: what is written to it then reads back at once and
// is what it gets when it comes back, by its new index, on the channels it comes back with.
TEST(PulseRules, AWriteToADeviceAwayLandsWhenItComesBack) {
  struct Row {
    const char* what;
    int refused;  // {20000, 40000} on its way refused: 0 none, 1 before the removal is told, 2
                  // after
    bool writtenWhileAway;  // {10000, 30000}
    std::vector<uint32_t> back;
    std::vector<uint32_t> lands;
    std::vector<DWORD> readsBack;
  } rows[] = {
      {"written while away", 0, true, {65536, 65536}, {10000, 30000}, {10000, 30000}},
      {"refused before the removal was told",
       1,
       false,
       {65536, 65536},
       {20000, 40000},
       {20000, 40000}},
      {"refused after", 2, false, {65536, 65536}, {20000, 40000}, {20000, 40000}},
      {"refused, then written while away", 2, true, {65536, 65536}, {10000, 30000}, {10000, 30000}},
      // The louder channel goes to the one, and reads back on both.
      {"back with one channel", 0, true, {65536}, {30000}, {30000, 30000}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    World world;
    world.link->Sink(2, "extra", {65536, 65536});
    const UINT extraPlace = 4;
    EXPECT_EQ(world.server->GetNumDevs(), 6u);
    EXPECT_STREQ(world.Caps(5).szPname, "Applications");
    HMIXER extra = world.Open(extraPlace);
    const std::string name = world.Caps(extraPlace).szPname;
    if (row.refused != 0) {
      ASSERT_EQ(world.Write(extra, {20000, 40000}), MMSYSERR_NOERROR);
      ASSERT_EQ(world.link->sent.size(), 1u);
    }
    if (row.refused == 1) world.link->Answer(false);
    world.link->Remove(Facility::SINK, 2);
    if (row.refused == 2) world.link->Answer(false);
    if (row.writtenWhileAway) {
      ASSERT_EQ(world.Write(extra, {10000, 30000}), MMSYSERR_NOERROR);
    }
    const std::vector<DWORD> written =
        row.writtenWhileAway ? std::vector<DWORD>{10000, 30000} : std::vector<DWORD>{20000, 40000};
    EXPECT_EQ(world.Read(extra), written) << "while away";
    EXPECT_EQ(world.server->GetNumDevs(), 6u);
    EXPECT_EQ(world.Caps(extraPlace).szPname, name);
    EXPECT_EQ(world.Caps(reinterpret_cast<UINT_PTR>(extra)).szPname, name);
    EXPECT_EQ(world.LineChannels(extra), 2u);
    const size_t sentWhileAway = world.link->sent.size();

    world.link->Device(true, 7, "extra", row.back, Map(static_cast<int>(row.back.size())));
    ASSERT_EQ(world.link->sent.size(), sentWhileAway + 1);
    const Sent& landed = world.link->sent.back();
    EXPECT_EQ(landed.facility, Facility::SINK);
    EXPECT_EQ(landed.index, 7u);
    EXPECT_EQ(landed.volume, row.lands);
    world.link->AnswerAll();
    EXPECT_EQ(world.LineChannels(extra), row.back.size());
    EXPECT_EQ(world.Read(extra), row.readsBack);
    EXPECT_EQ(world.Write(extra, {1000, 1000}), MMSYSERR_NOERROR);  // a line of two fits still
    for (const Sent& write : world.link->sent) EXPECT_NE(write.index, 0u) << "knobs was written";
  }
}

// A default line follows the server's default, on two channels mapped onto whatever it has
// (a surround output keeps its rear to its front). The balance of a value written is the one
// its caller read: if the default changed in between, the new default keeps its own balance.
TEST(PulseRules, ADefaultLineKeepsTheBalanceItsCallerSaw) {
  struct Row {
    const char* readWhile;  // the default when the caller read the line
    const char* writtenTo;  // the default when it wrote
    std::vector<DWORD> written;
    Facility facility;
    uint32_t index;
    std::vector<uint32_t> lands;
  } rows[] = {
      {"quad", "quad", {32768, 65535}, Facility::SINK, 3, {32768, 65536, 16384, 32768}},
      {"knobs", "quad", {16384, 8192}, Facility::SINK, 3, {8192, 16384, 4096, 8192}},
      {"quad", "knobs", {8192, 16384}, Facility::SINK, 0, {16384, 8192}},
      {"knobs", "knobs", {8192, 16384}, Facility::SINK, 0, {8192, 16384}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.readWhile) + " then " + row.writtenTo);
    World world;
    world.link->Device(true, 3, "quad", {26214, 52428, 13107, 26214}, Map(4));
    HMIXER output = world.Open(DEFAULT_OUTPUT);
    world.link->Defaults(row.readWhile, "mic");
    EXPECT_EQ(world.LineChannels(output), 2u);
    world.Read(output);
    world.link->Defaults(row.writtenTo, "mic");
    ASSERT_EQ(world.Write(output, row.written), MMSYSERR_NOERROR);
    ASSERT_EQ(world.link->sent.size(), 1u);
    EXPECT_EQ(world.link->sent[0].facility, row.facility);
    EXPECT_EQ(world.link->sent[0].index, row.index);
    EXPECT_EQ(world.link->sent[0].volume, row.lands);
  }
}

// Written while the server has no default output, the value waits for the next one.
TEST(PulseRules, AValueWrittenWithoutADefaultGoesToTheNextOne) {
  World world;
  HMIXER output = world.Open(DEFAULT_OUTPUT);
  world.link->Defaults("", "mic");
  ASSERT_EQ(world.Write(output, {10000, 20000}), MMSYSERR_NOERROR);
  EXPECT_EQ(world.Read(output), (std::vector<DWORD>{10000, 20000}));
  EXPECT_TRUE(world.link->sent.empty());
  world.link->Defaults("knobs", "mic");
  ASSERT_EQ(world.link->sent.size(), 1u);
  EXPECT_EQ(world.link->sent[0].volume, (std::vector<uint32_t>{10000, 20000}));
}

// A session manager sets a device or stream to what it remembers just after it appears
// (WirePlumber does): for a second after our value reached it, ours is sent again.
TEST(PulseRules, ASessionManagersRestoreLosesToOurWriteForASecond) {
  struct Row {
    bool stream;
    int64_t restoredAfterMs;
    bool sentAgain;
  } rows[] = {
      {false, 100, true},   {false, 999, true}, {false, 1000, false},
      {false, 5000, false}, {true, 500, true},  {true, 1500, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE((row.stream ? "stream, " : "device, ") + std::to_string(row.restoredAfterMs));
    World world;
    std::vector<uint32_t> ours;
    if (row.stream) {
      world.link->Stream(1, "Player", {65536, 65536});
      HMIXER applications = world.Open(4);
      ASSERT_EQ(world.Write(applications, {20000, 20000}, FIRST_APPLICATION), MMSYSERR_NOERROR);
      world.link->AnswerAll();
      world.link->Stream(2, "Player", {65536, 65536});  // a stream it starts later
      ours = {20000, 20000};
    } else {
      HMIXER knobs = world.Open(KNOBS);
      world.link->Remove(Facility::SINK, 0);
      ASSERT_EQ(world.Write(knobs, {10000, 30000}), MMSYSERR_NOERROR);
      world.link->Sink(5, "knobs", {65536, 65536});  // back
      ours = {10000, 30000};
    }
    ASSERT_FALSE(world.link->sent.empty());
    EXPECT_EQ(world.link->sent.back().volume, ours);
    world.link->AnswerAll();
    const size_t sent = world.link->sent.size();

    world.link->nowNs += row.restoredAfterMs * MS;
    if (row.stream) {
      world.link->Stream(2, "Player", {50000, 50000});
    } else {
      world.link->Sink(5, "knobs", {50000, 50000});
    }
    EXPECT_EQ(world.link->sent.size(), sent + (row.sentAgain ? 1 : 0));
    if (row.sentAgain) {
      EXPECT_EQ(world.link->sent.back().volume, ours);
    }
  }
}

// The caller never waits: at most one write of a control is on its way, the newest value
// replaces the one waiting, reads show it at once, and the last one always lands.
TEST(PulseRules, OneWriteOfALineOnItsWayAndTheLastLands) {
  World world;
  HMIXER knobs = world.Open(KNOBS);
  for (DWORD level = 1000; level <= 5000; level += 1000) {
    ASSERT_EQ(world.Write(knobs, {level / 2, level}), MMSYSERR_NOERROR);
    EXPECT_EQ(world.Read(knobs), (std::vector<DWORD>{level / 2, level}));
  }
  ASSERT_EQ(world.link->sent.size(), 1u);
  EXPECT_EQ(world.link->sent[0].volume, (std::vector<uint32_t>{500, 1000}));
  world.link->Answer();
  ASSERT_EQ(world.link->sent.size(), 2u);
  EXPECT_EQ(world.link->sent[1].volume, (std::vector<uint32_t>{2500, 5000}));
  world.link->Answer();
  EXPECT_EQ(world.link->sent.size(), 2u);
  EXPECT_EQ(world.Read(knobs), (std::vector<DWORD>{2500, 5000}));
}

// A turning knob's line is written at most once per interval (40 ms), in order, the first change
// at once and the last value always; turned slower than that, every value goes.
TEST(PulseRules, WritesOfATurningKnobArePacedInOrderAndTheLastLands) {
  struct Row {
    int64_t everyMs;     // a reading this often
    int64_t answerMs;    // the server's answer this long after a write
    size_t least, most;  // writes sent, of 50 readings
  } rows[] = {{2, 1, 3, 10}, {2, 30, 3, 10}, {WritePacer::WRITE_INTERVAL_NS / MS + 5, 1, 50, 50}};
  for (const Row& row : rows) {
    SCOPED_TRACE("every " + std::to_string(row.everyMs) + " ms");
    World world;
    HMIXER knobs = world.Open(KNOBS);
    int64_t answerAt = INT64_MAX;
    for (DWORD level = 1000; level <= 50000; level += 1000) {
      ASSERT_EQ(world.Write(knobs, {level, level}), MMSYSERR_NOERROR);
      if (level == 1000) {
        ASSERT_EQ(world.link->sent.size(), 1u) << "the first change goes at once";
      }
      for (int64_t ms = 0; ms < row.everyMs; ++ms) {
        if (!world.link->unanswered.empty() && answerAt == INT64_MAX) {
          answerAt = world.link->nowNs + row.answerMs * MS;
        }
        if (world.link->nowNs >= answerAt) {
          world.link->AnswerAll();
          answerAt = INT64_MAX;
        }
        world.link->Advance(MS);
      }
    }
    for (int ms = 0; ms < 100; ++ms) {
      world.link->AnswerAll();
      world.link->Advance(MS);
    }
    const std::vector<Sent>& sent = world.link->sent;
    EXPECT_GE(sent.size(), row.least);
    EXPECT_LE(sent.size(), row.most);
    for (size_t i = 1; i < sent.size(); ++i) {
      EXPECT_LT(sent[i - 1].volume[0], sent[i].volume[0]) << "out of order at " << i;
    }
    EXPECT_EQ(sent.back().volume, (std::vector<uint32_t>{50000, 50000}));
  }
}

// Reading and writing a line, up to 2,304 times a second, takes nothing from the heap once the
// line has been written: no key copied, no list of streams made, no request of ours allocated.
TEST(PulseRules, ReadingAndWritingALineAllocatesNothing) {
  struct Row {
    const char* what;
    UINT place;
    DWORD line;
  } rows[] = {
      {"a device", 4, MASTER},
      {"the default output", DEFAULT_OUTPUT, MASTER},
      {"an application", 5, FIRST_APPLICATION},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    World world;
    world.link->Sink(0, "alsa_output.pci-0000_00_1f.3.analog-stereo", {32768, 16384});
    world.link->Defaults("alsa_output.pci-0000_00_1f.3.analog-stereo", "mic");
    world.link->Stream(9, "An application of a long name", {65536, 65536});
    HMIXER mixer = world.Open(row.place);
    const HMIXEROBJ object = reinterpret_cast<HMIXEROBJ>(mixer);
    DWORD values[2];
    std::vector<DWORD> record(2);
    MIXERCONTROLDETAILS details = winmm_rules::DetailsOf(row.line, &record);
    details.paDetails = values;
    for (int reading = 0; reading < 40; ++reading) {
      pulse_fake::allocations = 0;
      pulse_fake::counting = reading > 0;  // the first makes the line's write and its request
      ASSERT_EQ(world.server->GetControlDetails(object, &details, MIXER_OBJECTF_HMIXER), 0u);
      values[0] = values[0] / 2 + reading;
      values[1] = values[1] / 2 + reading;
      ASSERT_EQ(world.server->SetControlDetails(object, &details, MIXER_OBJECTF_HMIXER), 0u);
      pulse_fake::counting = false;
      EXPECT_EQ(pulse_fake::allocations, 0) << "reading " << reading;
      world.link->AnswerAll();
      world.link->Advance((reading % 3 == 0 ? 25 : 1) * MS);
    }
  }
}

}  // namespace
