#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/sim_mixer.h"
#include "sound-lines/sound_line.h"

namespace {

struct Visit {
  VisitKind kind;
  std::string name;  // device name for a device visit, line name otherwise

  bool operator==(const Visit& other) const { return kind == other.kind && name == other.name; }
};

std::ostream& operator<<(std::ostream& out, const Visit& visit) {
  return out << visit.kind << ":" << visit.name;
}

struct Recorder {
  std::vector<Visit> visits;
  int stopAt = -1;  // the visit number that stops the walk
};

int32_t Record(VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line, void* context) {
  auto* recorder = static_cast<Recorder*>(context);
  recorder->visits.push_back({kind, kind == VISIT_DEVICE ? caps->szPname : line->szName});
  return static_cast<int>(recorder->visits.size()) - 1 == recorder->stopAt ? 1 : 0;
}

std::vector<Visit> Walk(int stopAt = -1) {
  Recorder recorder;
  recorder.stopAt = stopAt;
  ForEachSoundLine(Record, &recorder);
  return recorder.visits;
}

// Two devices, the first with two destinations (sources: 2 and 0), then a device without
// lines, then one more device.
sim::Topology ThreeCards() {
  return sim::Topology()
      .Device("Card A")
      .Destination("Speakers")
      .Source("Wave")
      .Source("CD Audio")
      .Destination("Recording")
      .Device("Empty")
      .Device("Card B")
      .Destination("Master")
      .Source("Synth");
}

const std::vector<Visit> THREE_CARDS_WALK = {
    {VISIT_DEVICE, "Card A"},   {VISIT_DESTINATION, "Speakers"},  {VISIT_SOURCE, "Wave"},
    {VISIT_SOURCE, "CD Audio"}, {VISIT_DESTINATION, "Recording"}, {VISIT_DEVICE, "Empty"},
    {VISIT_DEVICE, "Card B"},   {VISIT_DESTINATION, "Master"},    {VISIT_SOURCE, "Synth"},
};

// Every walk alike: the lister's numbers are the ones the controller opens later.
TEST(SoundLineWalk, VisitsEveryEntryInLineNumberOrderEveryTime) {
  sim::Install(ThreeCards());
  EXPECT_EQ(Walk(), THREE_CARDS_WALK);
  EXPECT_EQ(Walk(), THREE_CARDS_WALK);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST(SoundLineWalk, NoDevicesMeansNoVisits) {
  sim::Install(sim::Topology());
  EXPECT_TRUE(Walk().empty());
  EXPECT_EQ(sim::CallsOf(sim::Call::Open).size(), 0u);
}

TEST(SoundLineWalk, MakesExactlyTheDocumentedCalls) {
  sim::Install(sim::Topology().Device("Card").Destination("Speakers").Source("Wave"));
  Walk();
  const std::vector<sim::CallRecord>& calls = sim::Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0].call, sim::Call::GetNumDevs);

  EXPECT_EQ(calls[1].call, sim::Call::Open);
  EXPECT_EQ(calls[1].passed, 0u);
  EXPECT_EQ(calls[1].flags, 0u);
  EXPECT_EQ(calls[1].callback, 0u);

  // Capabilities by device index, never by handle.
  EXPECT_EQ(calls[2].call, sim::Call::GetDevCaps);
  EXPECT_EQ(calls[2].object, sim::Object::Index);
  EXPECT_EQ(calls[2].size, sizeof(MIXERCAPSA));

  // Both line queries by the open handle with no handle-type bit in the flags.
  EXPECT_EQ(calls[3].call, sim::Call::GetLineInfo);
  EXPECT_EQ(calls[3].object, sim::Object::Handle);
  EXPECT_EQ(calls[3].flags, 0u);
  EXPECT_EQ(calls[3].size, sizeof(MIXERLINEA));
  EXPECT_EQ(calls[3].destination, 0u);
  EXPECT_EQ(calls[4].call, sim::Call::GetLineInfo);
  EXPECT_EQ(calls[4].object, sim::Object::Handle);
  EXPECT_EQ(calls[4].flags, 1u);
  EXPECT_EQ(calls[4].destination, 0u);
  EXPECT_EQ(calls[4].source, 0u);

  EXPECT_EQ(calls[5].call, sim::Call::Close);
  EXPECT_EQ(calls[5].passed, calls[3].passed);
  for (const sim::CallRecord& call : calls) EXPECT_EQ(call.result, MMSYSERR_NOERROR);
}

// Stopping on each kind of entry: what was visited, and that the device is closed.
TEST(SoundLineWalk, StopsWhereTheVisitorSaysAndClosesTheDevice) {
  struct Case {
    int stopAt;
    size_t visited;
  } cases[] = {
      {0, 1},  // on a device: none of its lines
      {1, 2},  // on a destination: none of its sources
      {2, 3},  // on a source: right after it
      {4, 5},  // on the last destination of a device
      {6, 7},  // on the third device
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAt);
    sim::Install(ThreeCards());
    const std::vector<Visit> visits = Walk(c.stopAt);
    EXPECT_EQ(visits,
              std::vector<Visit>(THREE_CARDS_WALK.begin(), THREE_CARDS_WALK.begin() + c.visited));
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    EXPECT_EQ(sim::CallsOf(sim::Call::Open).size(), sim::CallsOf(sim::Call::Close).size());
  }
}

TEST(SoundLineWalk, FailedCallsAreVisitedAndKeepTheirNumbers) {
  // A failed open: the device is visited with its lines and is never closed.
  sim::Install(ThreeCards());
  sim::FailCall(sim::Call::Open, 1, MMSYSERR_NOMEM);
  EXPECT_EQ(Walk(), THREE_CARDS_WALK);
  EXPECT_EQ(sim::CallsOf(sim::Call::Close).size(), 2u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  // A failed capabilities query: the device counts as having no lines.
  sim::Install(ThreeCards());
  sim::FailCall(sim::Call::GetDevCaps, 1, MMSYSERR_NODRIVER);
  std::vector<Visit> visits = Walk();
  ASSERT_EQ(visits.size(), 5u);
  EXPECT_EQ(visits[0], (Visit{VISIT_DEVICE, ""}));
  EXPECT_EQ(visits[1], (Visit{VISIT_DEVICE, "Empty"}));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  // A failed source query is still a visit, holding what the record held before.
  sim::Install(ThreeCards());
  sim::FailCall(sim::Call::GetLineInfo, 3, MIXERR_INVALLINE);
  visits = Walk();
  ASSERT_EQ(visits.size(), THREE_CARDS_WALK.size());
  EXPECT_EQ(visits[3], (Visit{VISIT_SOURCE, "Wave"}));
  EXPECT_EQ(visits[4], THREE_CARDS_WALK[4]);
}

TEST(SoundLineWalk, DestinationWithoutSourcesIsOneVisit) {
  sim::Install(sim::Topology().Device("Card").Destination("Out").Destination("In").Source("Mic"));
  EXPECT_EQ(Walk(), (std::vector<Visit>{{VISIT_DEVICE, "Card"},
                                        {VISIT_DESTINATION, "Out"},
                                        {VISIT_DESTINATION, "In"},
                                        {VISIT_SOURCE, "Mic"}}));
}

}  // namespace
