// The Windows mixer face's default and application lines, against a fake Core Audio, with the
// simulated mixer standing in for winmm: the mixer functions are wrapped at link time, so the
// walk and SoundLine reach the face exactly as the Windows programs do.
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/coreaudio/lines.h"
#include "platform/coreaudio/mixer_face.h"
#include "platform/sim/sim_mixer.h"
#include "sound-lines/sound_line.h"

using namespace coreaudio;

extern "C" {
UINT __real_mixerGetNumDevs(void);
MMRESULT __real_mixerOpen(LPHMIXER, UINT, DWORD_PTR, DWORD_PTR, DWORD);
MMRESULT __real_mixerClose(HMIXER);
MMRESULT __real_mixerGetDevCapsA(UINT_PTR, LPMIXERCAPSA, UINT);
MMRESULT __real_mixerGetLineInfoA(HMIXEROBJ, LPMIXERLINEA, DWORD);
MMRESULT __real_mixerGetLineControlsA(HMIXEROBJ, LPMIXERLINECONTROLSA, DWORD);
MMRESULT __real_mixerGetControlDetailsA(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
MMRESULT __real_mixerSetControlDetails(HMIXEROBJ, LPMIXERCONTROLDETAILS, DWORD);
}

namespace {

const LegacyMixer SIMULATED_WINMM = {__real_mixerGetNumDevs,
                                     __real_mixerOpen,
                                     __real_mixerClose,
                                     __real_mixerGetDevCapsA,
                                     __real_mixerGetLineInfoA,
                                     __real_mixerGetLineControlsA,
                                     __real_mixerGetControlDetailsA,
                                     __real_mixerSetControlDetails};

// The face the wrapped mixer functions reach; none: straight to the simulated winmm.
MixerFace* face = nullptr;

}  // namespace

extern "C" {
UINT __wrap_mixerGetNumDevs(void) { return face ? face->GetNumDevs() : __real_mixerGetNumDevs(); }
MMRESULT __wrap_mixerOpen(LPHMIXER m, UINT id, DWORD_PTR cb, DWORD_PTR in, DWORD f) {
  return face ? face->Open(m, id, cb, in, f) : __real_mixerOpen(m, id, cb, in, f);
}
MMRESULT __wrap_mixerClose(HMIXER m) { return face ? face->Close(m) : __real_mixerClose(m); }
MMRESULT __wrap_mixerGetDevCapsA(UINT_PTR id, LPMIXERCAPSA c, UINT s) {
  return face ? face->GetDevCaps(id, c, s) : __real_mixerGetDevCapsA(id, c, s);
}
MMRESULT __wrap_mixerGetLineInfoA(HMIXEROBJ o, LPMIXERLINEA l, DWORD f) {
  return face ? face->GetLineInfo(o, l, f) : __real_mixerGetLineInfoA(o, l, f);
}
MMRESULT __wrap_mixerGetLineControlsA(HMIXEROBJ o, LPMIXERLINECONTROLSA c, DWORD f) {
  return face ? face->GetLineControls(o, c, f) : __real_mixerGetLineControlsA(o, c, f);
}
MMRESULT __wrap_mixerGetControlDetailsA(HMIXEROBJ o, LPMIXERCONTROLDETAILS d, DWORD f) {
  return face ? face->GetControlDetails(o, d, f) : __real_mixerGetControlDetailsA(o, d, f);
}
MMRESULT __wrap_mixerSetControlDetails(HMIXEROBJ o, LPMIXERCONTROLDETAILS d, DWORD f) {
  return face ? face->SetControlDetails(o, d, f) : __real_mixerSetControlDetails(o, d, f);
}
}

namespace {

Levels Of(std::vector<float> levels) {
  Levels of;
  of.count = static_cast<uint32_t>(levels.size());
  for (size_t i = 0; i < levels.size(); ++i) of.level[i] = levels[i];
  return of;
}

std::vector<float> Rounded(const Levels& levels) {
  std::vector<float> rounded;
  for (uint32_t i = 0; i < levels.count; ++i)
    rounded.push_back(std::round(levels.level[i] * 100) / 100);
  return rounded;
}

// Core Audio as a test wants it: endpoints' levels, sessions that come and go, every write kept.
struct FakeSession {
  std::string instance, identifier, imagePath;
  bool systemSounds = false;
  float master = 1.0f;
  Levels channels;  // count 0: no channel volumes
  int writes = 0;
};

class FakeAudio : public AudioSystem {
 public:
  bool hasDefault[2] = {true, true};
  uint32_t endpoint[2] = {1, 2};
  Levels levels[2] = {Of({0.4f, 0.8f}), Of({0.5f})};
  std::vector<FakeSession> sessions;
  int defaultWrites = 0;

  bool ReadDefault(EndpointFlow flow, Levels* out, uint32_t* which) override {
    *out = levels[flow];
    *which = endpoint[flow];
    return hasDefault[flow];
  }
  bool WriteDefault(EndpointFlow flow, const Levels& in) override {
    ++defaultWrites;
    levels[flow] = in;
    return true;
  }
  void ScanSessions(SessionSeen seen, void* context) override {
    for (size_t i = 0; i < sessions.size(); ++i) {
      const FakeSession& s = sessions[i];
      seen(context, static_cast<int>(i),
           SessionFacts{s.instance.c_str(), s.identifier.c_str(), s.imagePath.c_str(),
                        s.systemSounds});
    }
  }
  bool ReadSession(int session, float* master, Levels* channels) override {
    *master = sessions[session].master;
    *channels = sessions[session].channels;
    return true;
  }
  bool WriteSession(int session, float master, const Levels& channels) override {
    FakeSession& s = sessions[session];
    ++s.writes;
    s.master = master;
    if (channels.count != 0) s.channels = channels;
    return true;
  }
  void Add(const std::string& exe, Levels channels = Levels()) {
    FakeSession session;
    session.instance = exe + "#" + std::to_string(sessions.size());
    session.imagePath = "C:\\Program Files\\App\\" + exe;
    session.channels = channels;
    sessions.push_back(session);
  }
};

TEST(CoreAudioRules, CarriesALineOntoChannelsKeepingTheBalance) {
  struct Row {
    const char* what;
    LineValue line;
    std::vector<float> before;
    bool keepBalance;
    std::vector<float> endpoint;  // OntoEndpoint
    float master;                 // OntoSession
    std::vector<float> session;
  } rows[] = {
      {"stereo takes left and right", {32768, 65535}, {0.2f, 0.4f}, false, {0.5f, 1}, 1, {0.5f, 1}},
      // Centre, bass and rear keep their ratio to the louder front channel.
      {"surround",
       {16384, 32768},
       {0.5f, 1, 1, 0.25f, 0.5f, 0.5f},
       false,
       {0.25f, 0.5f, 0.5f, 0.13f, 0.25f, 0.25f},
       0.5f,
       {0.5f, 1, 1, 0.25f, 0.5f, 0.5f}},
      {"mono takes the louder", {16384, 65535}, {0.3f}, false, {1}, 1, {1}},
      // A session keeps its own balance whatever the line's, its loudest channel at full.
      {"another endpoint's balance", {65535, 32768}, {0.2f, 0.4f}, true, {0.5f, 1}, 1, {0.5f, 1}},
      {"a quiet session", {32768, 32768}, {0.3f, 0.6f}, false, {0.5f, 0.5f}, 0.5f, {0.5f, 1}},
      // Silence keeps the session's balance for when it is turned up again.
      {"silence", {0, 0}, {0.5f, 1}, false, {0, 0}, 0, {0.5f, 1}},
      {"no channels given", {32768, 16384}, {}, false, {}, 0.5f, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Rounded(OntoEndpoint(row.line, Of(row.before), row.keepBalance)), row.endpoint);
    float master = -1;
    Levels channels;
    OntoSession(row.line, Of(row.before), &master, &channels);
    EXPECT_EQ(std::round(master * 100) / 100, row.master);
    EXPECT_EQ(Rounded(channels), row.session);
    // What the session then plays is what was written, on its louder channel.
    const LineValue shown = LineOfSession(master, channels);
    if (channels.count != 1) {
      EXPECT_NEAR(std::max(shown.left, shown.right), std::max(row.line.left, row.line.right), 1);
    }
  }
}

TEST(CoreAudioRules, NamesASessionByItsExecutable) {
  struct Row {
    SessionFacts facts;
    const char* id;  // null: not named
    const char* name;
  } rows[] = {
      {{"", "", "C:\\Program Files\\Mozilla Firefox\\firefox.exe", false},
       "exe:firefox.exe",
       "firefox.exe"},
      {{"", "", "C:\\Users\\me\\AppData\\Local\\Discord\\app-1.0\\Discord.exe", false},
       "exe:discord.exe",
       "Discord.exe"},
      // No single process, or one we may not open: the identifier carries the path.
      {{"", "{0.0.0.00000000}.{a1}|\\Device\\HarddiskVolume3\\Games\\Game.EXE%b{00000000-0000}", "",
        false},
       "exe:game.exe",
       "Game.EXE"},
      {{"", "{0.0.0.00000000}.{a1}|#%b{A9EF3FD9-4240-455E-A4D5-F2B3301887B2}", "", true},
       "system-sounds",
       "System Sounds"},
      {{"", "{0.0.0.00000000}.{a1}|#%b{A9EF3FD9}", "", false}, nullptr, nullptr},
      {{"", "no bar at all", "", false}, nullptr, nullptr},
      {{"", "{0.0.0.00000000}.{a1}|\\Device\\Folder\\%b{1}", "", false}, nullptr, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.facts.identifier) + row.facts.imagePath);
    char id[APPLICATION_FIELD_BYTES] = "", name[APPLICATION_FIELD_BYTES] = "";
    ASSERT_EQ(NameOfSession(row.facts, id, name), row.id != nullptr);
    if (row.id == nullptr) continue;
    EXPECT_STREQ(id, row.id);
    EXPECT_STREQ(name, row.name);
  }
}

// An application with three sessions, one of them without channel volumes, and one more later.
TEST(CoreAudioLines, SetsEverySessionOfAnApplicationNowAndLater) {
  FakeAudio audio;
  audio.Add("Discord.exe", Of({1, 0.5f}));
  audio.Add("firefox.exe", Of({1, 1}));
  audio.Add("Discord.exe");
  audio.Add("DISCORD.EXE", Of({0.25f, 0.5f, 0.5f, 0.5f}));
  Lines lines("");
  lines.Service(audio, true);
  ASSERT_EQ(lines.Applications(), 2u);
  char name[64];
  ASSERT_TRUE(lines.ApplicationName(0, name, sizeof name));
  EXPECT_STREQ(name, "Discord.exe");

  ASSERT_TRUE(lines.Write(APPLICATIONS, 0, LineValue{16384, 65535}));
  // The newest value wins: only it reaches the sessions.
  ASSERT_TRUE(lines.Write(APPLICATIONS, 0, LineValue{16384, 32768}));
  EXPECT_EQ(lines.Read(APPLICATIONS, 0).right, 32768u);
  lines.Service(audio, false);
  for (int i : {0, 2, 3}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(audio.sessions[i].writes, 1);
    EXPECT_NEAR(audio.sessions[i].master, 0.5f, 0.001f);
  }
  // Each keeps its own balance.
  EXPECT_EQ(Rounded(audio.sessions[0].channels), (std::vector<float>{1, 0.5f}));
  EXPECT_EQ(Rounded(audio.sessions[3].channels), (std::vector<float>{0.5f, 1, 1, 1}));
  EXPECT_EQ(audio.sessions[1].writes, 0);

  // A session seen before keeps what the user gave it since; a new one takes the line's value.
  audio.sessions[0].master = 0.9f;
  audio.Add("Discord.exe", Of({0.3f, 0.6f}));
  lines.Service(audio, true);
  EXPECT_EQ(audio.sessions[0].writes, 1);
  EXPECT_NEAR(audio.sessions[0].master, 0.9f, 0.001f);
  EXPECT_EQ(audio.sessions[4].writes, 1);
  EXPECT_NEAR(audio.sessions[4].master, 0.5f, 0.001f);
  EXPECT_EQ(Rounded(audio.sessions[4].channels), (std::vector<float>{0.5f, 1}));
  // The line shows its first session as it is now.
  EXPECT_EQ(lines.Read(APPLICATIONS, 0).left, 58982u);
  // An application never written to is left alone when a session of it comes.
  audio.Add("firefox.exe");
  lines.Service(audio, true);
  EXPECT_EQ(audio.sessions[5].writes, 0);
}

TEST(CoreAudioLines, DefaultLinesFollowTheDefaultEndpoint) {
  FakeAudio audio;
  Lines lines("");
  lines.Service(audio, true);
  EXPECT_EQ(lines.Read(DEFAULT_OUTPUT, 0).left, 26214u);
  EXPECT_EQ(lines.Read(DEFAULT_INPUT, 0).right, 32768u);
  ASSERT_TRUE(lines.Write(DEFAULT_OUTPUT, 0, LineValue{16384, 32768}));
  lines.Service(audio, false);
  EXPECT_EQ(Rounded(audio.levels[RENDER]), (std::vector<float>{0.25f, 0.5f}));

  // The default moves between the caller's read and its write: the new one keeps its balance.
  audio.endpoint[RENDER] = 7;
  audio.levels[RENDER] = Of({1, 0.5f, 0.5f});
  ASSERT_TRUE(lines.Write(DEFAULT_OUTPUT, 0, LineValue{65535, 13107}));
  lines.Service(audio, false);
  EXPECT_EQ(Rounded(audio.levels[RENDER]), (std::vector<float>{1, 0.5f, 0.5f}));

  // With no default at all a value waits for one.
  audio.hasDefault[CAPTURE] = false;
  const int writes = audio.defaultWrites;
  ASSERT_TRUE(lines.Write(DEFAULT_INPUT, 0, LineValue{6554, 6554}));
  lines.Service(audio, true);
  EXPECT_EQ(audio.defaultWrites, writes);
  EXPECT_EQ(lines.Read(DEFAULT_INPUT, 0).left, 6554u);
  audio.hasDefault[CAPTURE] = true;
  lines.Service(audio, true);
  EXPECT_EQ(Rounded(audio.levels[CAPTURE]), (std::vector<float>{0.1f}));
}

TEST(CoreAudioLines, TheApplicationsKeepTheirPlacesFromRunToRun) {
  char folder[] = "/tmp/knobvane-core-audio-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/Knobvane/applications";
  {
    FakeAudio audio;
    audio.Add("b.exe");
    audio.Add("a.exe");
    Lines lines(path.c_str());
    lines.Service(audio, true);
  }
  Lines again(path.c_str());
  char name[64];
  ASSERT_EQ(again.Applications(), 2u);
  ASSERT_TRUE(again.ApplicationName(1, name, sizeof name));
  EXPECT_STREQ(name, "a.exe");
  // A line of an application that plays nothing now shows what was written to it.
  FakeAudio silent;
  ASSERT_TRUE(again.Write(APPLICATIONS, 1, LineValue{1000, 2000}));
  for (const bool rescan : {false, true}) {
    again.Service(silent, rescan);
    EXPECT_EQ(again.Read(APPLICATIONS, 1).right, 2000u);
  }
  std::string command = std::string("rm -r ") + folder;
  ASSERT_EQ(system(command.c_str()), 0);
}

std::vector<std::string> Walk() {
  std::vector<std::string> visits;
  ForEachSoundLine(
      [](VisitKind kind, const MIXERCAPSA* caps, const MIXERLINEA* line, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            std::to_string(kind) + (kind == VISIT_DEVICE ? caps->szPname : line->szName));
        return 0;
      },
      &visits);
  return visits;
}

sim::Topology LegacyCards() {
  return sim::Topology()
      .Device("Speakers (Card)")
      .Destination("Volume", 2)
      .Volume(65535, 32, {40000, 20000})
      .Source("Wave", 2)
      .Volume(65535, 32, {1000, 2000})
      .Device("Microphone")
      .Destination("Recording", 1)
      .Volume(65535, 32, {30000});
}

// What SoundLine does to every legacy line, as the simulated winmm logs it; the face asks for
// winmm's device count more often, which changes nothing.
std::vector<sim::CallRecord> TurnEveryLegacyLine() {
  sim::Install(LegacyCards());
  for (int number : {1, 2, 3, 4}) {
    SoundLine line;
    if (line.Open(nullptr, number)) line.SetVolume(30000);
  }
  std::vector<sim::CallRecord> calls;
  for (const sim::CallRecord& call : sim::Calls()) {
    if (call.call != sim::Call::GetNumDevs) calls.push_back(call);
  }
  return calls;
}

bool SameCalls(const std::vector<sim::CallRecord>& a, const std::vector<sim::CallRecord>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].call != b[i].call || a[i].device != b[i].device || a[i].flags != b[i].flags ||
        a[i].object != b[i].object || a[i].size != b[i].size || a[i].lineID != b[i].lineID ||
        a[i].values != b[i].values || a[i].result != b[i].result) {
      return false;
    }
  }
  return true;
}

TEST(CoreAudioFace, AddsItsLinesAfterWinmmsAndLeavesWinmmsAlone) {
  const std::vector<sim::CallRecord> alone = TurnEveryLegacyLine();
  const std::vector<std::string> legacyWalk = Walk();
  FakeAudio audio;
  audio.Add("Discord.exe", Of({1, 1}));
  Lines lines("");
  MixerFace faced(SIMULATED_WINMM, lines);
  face = &faced;
  // Without Core Audio nothing changes.
  EXPECT_EQ(Walk(), legacyWalk);
  lines.SetAvailable(true);
  lines.Service(audio, true);
  EXPECT_TRUE(SameCalls(TurnEveryLegacyLine(), alone));
  std::vector<std::string> walk = legacyWalk;
  for (const char* visit : {"1Default Output", "2Master Volume", "1Default Input", "2Master Volume",
                            "1Applications", "2Discord.exe"}) {
    walk.push_back(visit);
  }
  EXPECT_EQ(Walk(), walk);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  // A knob on the application's line, numbered after the legacy lines, keeping its balance.
  audio.sessions[0].channels = Of({0.5f, 1});
  lines.Service(audio, true);
  SoundLine knob;
  ASSERT_TRUE(knob.Open(nullptr, static_cast<int32_t>(walk.size()) - 1));
  EXPECT_EQ(knob.SetVolume(32768), MMSYSERR_NOERROR);
  lines.Service(audio, false);
  EXPECT_NEAR(audio.sessions[0].master, 0.5f, 0.001f);
  EXPECT_EQ(Rounded(audio.sessions[0].channels), (std::vector<float>{0.5f, 1}));
  knob.Close();
  face = nullptr;
}

// The face answers bad calls on its devices with winmm's codes, in winmm's order.
TEST(CoreAudioFace, AnswersBadCallsAsWinmmDoes) {
  sim::Install(LegacyCards());
  FakeAudio audio;
  Lines lines("");
  lines.SetAvailable(true);
  MixerFace faced(SIMULATED_WINMM, lines);
  HMIXER output = nullptr;
  ASSERT_EQ(faced.Open(&output, 2, 0, 0, 0), MMSYSERR_NOERROR);
  const HMIXEROBJ object = reinterpret_cast<HMIXEROBJ>(output);
  DWORD values[2] = {1000, 2000};
  const auto details = [&](DWORD controlID, DWORD channels, DWORD size) {
    MIXERCONTROLDETAILS d = {};
    d.cbStruct = size;
    d.dwControlID = controlID;
    d.cChannels = channels;
    d.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
    d.paDetails = values;
    return d;
  };
  struct Row {
    const char* what;
    MIXERCONTROLDETAILS details;
    DWORD flags;
    MMRESULT result;
  } rows[] = {
      {"a short record", details(0xFFFF0000u, 2, 8), MIXER_OBJECTF_HMIXER, MMSYSERR_INVALPARAM},
      {"a stray flag", details(0xFFFF0000u, 2, sizeof(MIXERCONTROLDETAILS)),
       MIXER_OBJECTF_HMIXER | 0x100, MMSYSERR_INVALFLAG},
      {"another line's control", details(0x10000u, 2, sizeof(MIXERCONTROLDETAILS)),
       MIXER_OBJECTF_HMIXER, MIXERR_INVALCONTROL},
      {"three channels", details(0xFFFF0000u, 3, sizeof(MIXERCONTROLDETAILS)), MIXER_OBJECTF_HMIXER,
       MMSYSERR_INVALPARAM},
      {"a good write", details(0xFFFF0000u, 2, sizeof(MIXERCONTROLDETAILS)), MIXER_OBJECTF_HMIXER,
       MMSYSERR_NOERROR},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(faced.SetControlDetails(object, &row.details, row.flags), row.result);
  }
  EXPECT_EQ(lines.Read(DEFAULT_OUTPUT, 0).right, 2000u);
  values[0] = 65536;
  MIXERCONTROLDETAILS tooLoud = details(0xFFFF0000u, 2, sizeof(MIXERCONTROLDETAILS));
  EXPECT_EQ(faced.SetControlDetails(object, &tooLoud, MIXER_OBJECTF_HMIXER), MMSYSERR_INVALPARAM);
  EXPECT_EQ(lines.Read(DEFAULT_OUTPUT, 0).left, 1000u);
  // Past our devices winmm answers, as for any index it does not have.
  MIXERCAPSA caps;
  EXPECT_EQ(faced.GetDevCaps(5, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(faced.Close(output), MMSYSERR_NOERROR);
  EXPECT_EQ(faced.Close(output), MMSYSERR_INVALHANDLE);
}

// A winmm whose handles are small numbers, as some are: one that equals an index of ours, passed
// without the handle bit as the walk passes handles, is still winmm's.
UINT WINAPI TwoDevices() { return 2; }
MMRESULT WINAPI OpenAsThree(LPHMIXER mixer, UINT, DWORD_PTR, DWORD_PTR, DWORD) {
  *mixer = reinterpret_cast<HMIXER>(static_cast<UINT_PTR>(3));
  return MMSYSERR_NOERROR;
}
MMRESULT WINAPI Closed(HMIXER) { return MMSYSERR_NOERROR; }
UINT_PTR legacyAsked = 0;
MMRESULT WINAPI LineOfLegacy(HMIXEROBJ object, LPMIXERLINEA, DWORD) {
  legacyAsked = reinterpret_cast<UINT_PTR>(object);
  return MMSYSERR_NOERROR;
}

TEST(CoreAudioFace, NeverTakesAHandleOfWinmmsForAnIndexOfOurs) {
  LegacyMixer smallHandles = SIMULATED_WINMM;
  smallHandles.getNumDevs = TwoDevices;
  smallHandles.open = OpenAsThree;
  smallHandles.close = Closed;
  smallHandles.getLineInfo = LineOfLegacy;
  Lines lines("");
  lines.SetAvailable(true);
  MixerFace faced(smallHandles, lines);
  HMIXER legacy = nullptr;
  ASSERT_EQ(faced.Open(&legacy, 0, 0, 0, 0), MMSYSERR_NOERROR);
  MIXERLINEA line = {};
  line.cbStruct = sizeof line;
  EXPECT_EQ(faced.GetLineInfo(reinterpret_cast<HMIXEROBJ>(legacy), &line, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(legacyAsked, 3u);
  EXPECT_EQ(line.szName[0], '\0');
  // Once winmm's handle is closed, 3 is the index of the default input again.
  ASSERT_EQ(faced.Close(legacy), MMSYSERR_NOERROR);
  legacyAsked = 0;
  EXPECT_EQ(faced.GetLineInfo(reinterpret_cast<HMIXEROBJ>(legacy), &line, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(legacyAsked, 0u);
  EXPECT_STREQ(line.Target.szPname, "Default Input");
}

}  // namespace
