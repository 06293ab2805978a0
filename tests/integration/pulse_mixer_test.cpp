// The mixer calls over a private PulseAudio server that each test process starts in a
// folder of its own, observed with pactl as another program sees the server.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/remembered.h"
#include "platform/win32.h"
#include "sound-lines/sound_line.h"
#include "tests/support/deadline.h"
#include "tests/support/process.h"
#include "tests/support/sound_server.h"
#include "tests/winmm_rules_suite.h"

namespace {

// Polls until condition() holds; false if it never did within 10 s. Most conditions run
// pactl, a process a poll.
template <typename Condition>
bool Eventually(Condition condition) {
  return support::Eventually(condition, 10, std::chrono::milliseconds(20));
}

// What pactl prints for those arguments.
// What a shell command prints.
std::string Output(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

std::string Pactl(const std::string& arguments) { return Output("pactl " + arguments); }

// The outputs LoadOutput loaded in this process, by their sink_name: each stays a device of
// the mixer's list once it has been seen.
std::set<std::string> loadedOutputs;

// Loads a null output with these module arguments (sink_name first), the way the tests load
// every output; returns its module's index.
std::string LoadOutput(const std::string& arguments) {
  loadedOutputs.insert(arguments.substr(0, arguments.find(' ')));
  return Output(KNOBVANE_LOAD_OUTPUT_SH " " + arguments);
}

// The raw per-channel values of the first "Volume:" line in pactl's output from `from` on.
std::vector<DWORD> PactlVolume(const std::string& output, const std::string& from = "") {
  const size_t start = output.find(from);
  const size_t at = output.find("Volume:", start == std::string::npos ? output.size() : start);
  if (at == std::string::npos) return {};
  const std::string line = output.substr(at, output.find('\n', at) - at);
  std::vector<DWORD> values;
  const std::regex value(R"((\d+) /)");
  for (std::sregex_iterator i(line.begin(), line.end(), value), end; i != end; ++i) {
    values.push_back(static_cast<DWORD>(std::stoul((*i)[1])));
  }
  return values;
}

std::vector<DWORD> SinkVolume(const std::string& sink = "knobs") {
  return PactlVolume(Pactl("get-sink-volume " + sink));
}

// " knobs wide ": the names of the server's outputs.
std::string SinkNames() {
  std::string names = " ";
  const std::string sinks = Pactl("list short sinks");
  for (size_t at = 0; at < sinks.size(); at = sinks.find('\n', at) + 1) {
    const size_t name = sinks.find('\t', at) + 1;
    names += sinks.substr(name, sinks.find('\t', name) - name) + " ";
    if (sinks.find('\n', at) == std::string::npos) break;
  }
  return names;
}

// The per-channel volumes of every stream of the application of that name, as pactl shows them.
std::vector<std::vector<DWORD>> ApplicationStreams(const std::string& application) {
  std::vector<std::vector<DWORD>> volumes;
  const std::string streams = Pactl("list sink-inputs");
  for (size_t at = streams.find("Sink Input #"); at != std::string::npos;) {
    const size_t next = streams.find("Sink Input #", at + 1);
    const std::string stream = streams.substr(at, next == std::string::npos ? next : next - at);
    if (stream.find("application.name = \"" + application + "\"") != std::string::npos) {
      volumes.push_back(PactlVolume(stream));
    }
    at = next;
  }
  return volumes;
}

// The server the tests run against, as ctest names it in KNOBVANE_SERVER.
bool OnPipeWire() {
  const char* kind = getenv("KNOBVANE_SERVER");
  return kind != nullptr && strcmp(kind, "pipewire") == 0;
}

// A private server: null output "knobs", null input "mic", and a second output "wide"
// loaded after the input, with a description too long for the device name field. PulseAudio
// runs the stream-restore module, as desktops do (PipeWire has its own always).
class PrivateServer {
 public:
  void Start() {
    if (server_ == nullptr) server_ = std::make_unique<support::SoundServer>(OnPipeWire());
    std::string wide = "module-null-sink sink_name=wide sink_properties=device.description=";
    for (int i = 0; i < 20; ++i) wide += "\xC3\xA4";  // 20 x a-umlaut: 40 bytes
    // PipeWire has no null source module: a virtual source is a null sink of another class.
    const std::string mic = OnPipeWire() ? "module-null-sink sink_name=mic "
                                           "media.class=Audio/Source/Virtual "
                                           "channel_map=front-left,front-right"
                                         : "module-null-source source_name=mic";
    std::vector<std::string> modules = {mic, wide};
    if (!OnPipeWire()) modules.push_back("module-stream-restore");
    ASSERT_TRUE(server_->Start(modules)) << "the private server never came up";
    // PipeWire makes the devices after answering.
    ASSERT_TRUE(Eventually([] {
      const std::string sinks = Pactl("list short sinks"), sources = Pactl("list short sources");
      return sinks.find("knobs") != std::string::npos && sinks.find("wide") != std::string::npos &&
             sources.find("\tmic\t") != std::string::npos;
    })) << "the null devices never showed up";
  }

  // What the server calls its null output and input.
  static const char* OutputName() { return OnPipeWire() ? "knobs Audio/Sink sink" : "Null Output"; }
  static const char* InputName() {
    return OnPipeWire() ? "mic Audio/Source/Virtual sink" : "Null Input";
  }

  void Pause() { server_->Pause(); }
  void Resume() { server_->Resume(); }
  void Stop() {
    if (server_ != nullptr) server_->Stop();
  }

  const std::string& Folder() const { return server_->Folder(); }

 private:
  std::unique_ptr<support::SoundServer> server_;
};

// An application stream playing silence into the null output, in a media role if given.
class Player {
 public:
  Player(const std::string& client, const std::string& folder, int channels = 2,
         const std::string& role = "")
      : pid_(support::Spawn(Arguments(client, channels, role), folder + "/player.log",
                            "/dev/zero")) {}
  ~Player() { Stop(); }
  void Stop() {
    support::StopProcess(pid_);
    pid_ = -1;
  }

 private:
  static std::vector<std::string> Arguments(const std::string& client, int channels,
                                            const std::string& role) {
    std::vector<std::string> arguments = {"pacat", "--device=knobs", "--client-name=" + client,
                                          "--stream-name=Tune",
                                          "--channels=" + std::to_string(channels)};
    if (!role.empty()) arguments.push_back("--property=media.role=" + role);
    return arguments;
  }

 private:
  pid_t pid_;
};

// Device order: the defaults, then the devices as first seen (sinks by index, then non-monitor
// sources), then the applications. A device seen later comes before the applications, and
// stays: tests that run after one in the same process find more devices (PulseMixer's).
constexpr UINT DEFAULT_OUTPUT = 0, DEFAULT_INPUT = 1, KNOBS = 2, WIDE = 3, MIC = 4, DEVICES = 6;
constexpr DWORD FIRST_APPLICATION = 0x00010000u;  // the first application's line ID
constexpr DWORD MASTER = 0xFFFF0000u;

HMIXEROBJ Object(UINT_PTR value) { return reinterpret_cast<HMIXEROBJ>(value); }
HMIXEROBJ Object(HMIXER handle) { return reinterpret_cast<HMIXEROBJ>(handle); }

MIXERLINEA LineRecord() {
  MIXERLINEA line;
  memset(&line, 0, sizeof line);
  line.cbStruct = sizeof line;
  return line;
}

MMRESULT QueryLine(HMIXEROBJ object, DWORD flags, MIXERLINEA* line) {
  return mixerGetLineInfoA(object, line, flags);
}

MMRESULT Read(HMIXER mixer, DWORD controlID, std::vector<DWORD>* values) {
  MIXERCONTROLDETAILS details = winmm_rules::DetailsOf(controlID, values);
  return mixerGetControlDetailsA(Object(mixer), &details, MIXER_OBJECTF_HMIXER);
}

MMRESULT Write(HMIXER mixer, DWORD controlID, std::vector<DWORD> values) {
  MIXERCONTROLDETAILS details = winmm_rules::DetailsOf(controlID, &values);
  return mixerSetControlDetails(Object(mixer), &details, MIXER_OBJECTF_HMIXER);
}

// Writes go to the server behind the caller, and the mixer learns another client's changes
// from the server's events: listing the devices waits for both. PipeWire applies another
// client's change after answering it, so a test waits for the mixer to see one (Sees).
void Settle() { mixerGetNumDevs(); }

std::vector<DWORD> Channels(HMIXER mixer, DWORD controlID, DWORD count = 2) {
  std::vector<DWORD> values(count, 0xDEAD);
  EXPECT_EQ(Read(mixer, controlID, &values), MMSYSERR_NOERROR);
  return values;
}

// Whether the mixer comes to read those values for the control.
bool Sees(HMIXER mixer, DWORD controlID, const std::vector<DWORD>& expected) {
  return Eventually([&] {
    std::vector<DWORD> values(expected.size(), 0xDEAD);
    return Read(mixer, controlID, &values) == MMSYSERR_NOERROR && values == expected;
  });
}

class PulseMixer : public testing::Test {
 protected:
  static void SetUpTestSuite() { server.Start(); }
  static void TearDownTestSuite() { server.Stop(); }

  void SetUp() override {
    ASSERT_EQ(mixerOpen(&knobs, KNOBS, 0, 0, 0), MMSYSERR_NOERROR);
    Pactl("set-sink-volume knobs 100%");
    devices = mixerGetNumDevs();
    applicationsIndex = devices - 1;
  }
  void TearDown() override { mixerClose(knobs); }

  // Waits for the applications' device to have that many lines.
  static bool WaitForApplications(DWORD count) {
    return Eventually([count] {
      MIXERCAPSA caps;
      return mixerGetDevCapsA(mixerGetNumDevs() - 1, &caps, sizeof caps) == MMSYSERR_NOERROR &&
             caps.cDestinations == count;
    });
  }

  static PrivateServer server;
  HMIXER knobs = nullptr;
  UINT devices = 0, applicationsIndex = 0;  // as the test starts
};

PrivateServer PulseMixer::server;

TEST_F(PulseMixer, ListsTheDefaultsThenEveryDeviceEachWithOneMasterLine) {
  ASSERT_EQ(devices, DEVICES + loadedOutputs.size());
  MIXERCAPSA last;
  ASSERT_EQ(mixerGetDevCapsA(applicationsIndex, &last, sizeof last), MMSYSERR_NOERROR);
  EXPECT_STREQ(last.szPname, "Applications");
  struct Row {
    UINT device;
    const char* name;
    DWORD componentType;
  } rows[] = {
      {DEFAULT_OUTPUT, "Default Output", MIXERLINE_COMPONENTTYPE_DST_SPEAKERS},
      {DEFAULT_INPUT, "Default Input", MIXERLINE_COMPONENTTYPE_DST_WAVEIN},
      {KNOBS, PrivateServer::OutputName(), MIXERLINE_COMPONENTTYPE_DST_SPEAKERS},
      // Cut to fit, never inside a two-byte character: 15 of them, 30 bytes.
      {WIDE,
       "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4"
       "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4",
       MIXERLINE_COMPONENTTYPE_DST_SPEAKERS},
      {MIC, PrivateServer::InputName(), MIXERLINE_COMPONENTTYPE_DST_WAVEIN},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MIXERCAPSA caps;
    ASSERT_EQ(mixerGetDevCapsA(row.device, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, row.name);
    EXPECT_EQ(caps.cDestinations, 1u);
    MIXERLINEA line = LineRecord();
    ASSERT_EQ(QueryLine(Object(row.device), MIXER_GETLINEINFOF_DESTINATION, &line), 0u);
    EXPECT_STREQ(line.szName, "Master Volume");
    EXPECT_EQ(line.dwLineID, MASTER);
    EXPECT_EQ(line.dwComponentType, row.componentType);
    EXPECT_EQ(line.cChannels, 2u);
    EXPECT_EQ(line.cConnections, 0u);
    EXPECT_EQ(line.cControls, 1u);
    line.dwDestination = 1;
    EXPECT_EQ(QueryLine(Object(row.device), MIXER_GETLINEINFOF_DESTINATION, &line),
              MIXERR_INVALLINE);
  }
}

TEST_F(PulseMixer, DescribesTheVolumeControlByTypeAndByID) {
  MIXERCONTROLA control;
  MIXERLINECONTROLSA controls{sizeof controls, MASTER,  {MIXERCONTROL_CONTROLTYPE_VOLUME}, 1,
                              sizeof control,  &control};
  ASSERT_EQ(mixerGetLineControlsA(Object(knobs), &controls,
                                  MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE),
            MMSYSERR_NOERROR);
  EXPECT_EQ(control.dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
  EXPECT_EQ(control.Bounds.dwMinimum, 0u);
  EXPECT_EQ(control.Bounds.dwMaximum, 65535u);
  EXPECT_EQ(control.Metrics.cSteps, 100u);
  const DWORD controlID = control.dwControlID;
  memset(&control, 0, sizeof control);
  controls.dwLineID = 0;
  controls.dwControlID = controlID;
  ASSERT_EQ(mixerGetLineControlsA(Object(knobs), &controls,
                                  MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYID),
            MMSYSERR_NOERROR);
  EXPECT_EQ(control.dwControlID, controlID);
  EXPECT_EQ(controls.dwLineID, MASTER);
}

TEST_F(PulseMixer, ReadsAndWritesEachChannelAsPactlSeesIt) {
  Pactl("set-sink-volume knobs 30% 70%");
  Settle();
  const std::vector<DWORD> set = SinkVolume();
  ASSERT_EQ(set.size(), 2u);
  EXPECT_NE(set[0], set[1]);
  EXPECT_TRUE(Sees(knobs, MASTER, set));

  ASSERT_EQ(Write(knobs, MASTER, {13107, 52428}), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{13107, 52428}));
}

// Writes never wait for the server: with it frozen each one is taken at once and reads give
// the newest, and once it answers again the last value written is the one it ends with.
// Another program's change is seen without asking, also while our own writes keep changing
// another output, as a turning knob's do.
TEST_F(PulseMixer, WritesGoBehindTheCallerAndTheLastOneLands) {
  server.Pause();
  for (DWORD level = 1000; level <= 60000; level += 1000) {
    ASSERT_EQ(Write(knobs, MASTER, {level / 2, level}), MMSYSERR_NOERROR);
    ASSERT_EQ(Channels(knobs, MASTER), (std::vector<DWORD>{level / 2, level}));
  }
  server.Resume();
  const std::vector<DWORD> last{30000, 60000};
  EXPECT_TRUE(Eventually([&] { return SinkVolume() == last; })) << SinkVolume()[0];

  Pactl("set-sink-volume knobs 10% 20%");
  const std::vector<DWORD> set = SinkVolume();
  EXPECT_TRUE(Eventually([&] { return Channels(knobs, MASTER) == set; }));

  HMIXER wide = nullptr;
  ASSERT_EQ(mixerOpen(&wide, WIDE, 0, 0, 0), MMSYSERR_NOERROR);
  Pactl("set-sink-volume knobs 40% 20%");
  const std::vector<DWORD> outside = SinkVolume();
  DWORD level = 0;
  EXPECT_TRUE(Eventually([&] {
    level = (level + 4099) % 65536;
    Write(wide, MASTER, {level, level});
    return Channels(knobs, MASTER) == outside;
  }));
  mixerClose(wide);
}

TEST_F(PulseMixer, MapsTheControlMaximumToExactlyOneHundredPercent) {
  struct Row {
    const char* pactl;
    DWORD read;
  } reads[] = {{"100%", 65535}, {"150%", 65535}, {"65535", 65535}, {"0", 0}, {"32768", 32768}};
  for (const Row& row : reads) {
    Pactl(std::string("set-sink-volume knobs ") + row.pactl);
    EXPECT_TRUE(Sees(knobs, MASTER, {row.read, row.read})) << row.pactl;
  }
  struct WriteRow {
    DWORD written;
    DWORD pulse;
  } writes[] = {{65535, 65536}, {65534, 65534}, {0, 0}};
  for (const WriteRow& row : writes) {
    ASSERT_EQ(Write(knobs, MASTER, {row.written, row.written}), MMSYSERR_NOERROR);
    Settle();
    EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{row.pulse, row.pulse})) << row.written;
  }
}

// An application keeps its line, and the line its number, while it stops and starts again and
// others come; a value written while it is silent reaches the streams it starts later, and a
// mono stream gets the loudest channel.
TEST_F(PulseMixer, ApplicationsKeepTheirLinesWhileTheyComeAndGo) {
  HMIXER applications = nullptr;
  ASSERT_EQ(mixerOpen(&applications, applicationsIndex, 0, 0, 0), MMSYSERR_NOERROR);
  const auto lineName = [&](DWORD destination) {
    MIXERLINEA line = LineRecord();
    line.dwDestination = destination;
    EXPECT_EQ(QueryLine(Object(applications), MIXER_GETLINEINFOF_DESTINATION, &line), 0u);
    EXPECT_EQ(line.dwLineID, FIRST_APPLICATION + destination);
    return std::string(line.szName);
  };
  MIXERCAPSA caps;
  ASSERT_EQ(mixerGetDevCapsA(applicationsIndex, &caps, sizeof caps), MMSYSERR_NOERROR);
  const DWORD known = caps.cDestinations;  // what tests before this one in the process added
  const DWORD FIRST = FIRST_APPLICATION + known, SECOND = FIRST + 1;

  auto first = std::make_unique<Player>("First", server.Folder());
  ASSERT_TRUE(WaitForApplications(known + 1));
  Player second("Second", server.Folder());
  ASSERT_TRUE(WaitForApplications(known + 2));
  EXPECT_EQ(mixerGetNumDevs(), devices);  // no device moves for what plays
  EXPECT_EQ(lineName(known), "First");
  EXPECT_EQ(lineName(known + 1), "Second");

  first.reset();
  ASSERT_TRUE(Eventually([] { return ApplicationStreams("First").empty(); }));
  Settle();
  EXPECT_EQ(lineName(known), "First");
  ASSERT_EQ(Write(applications, FIRST, {10000, 20000}), MMSYSERR_NOERROR);
  EXPECT_EQ(Channels(applications, FIRST), (std::vector<DWORD>{10000, 20000}));
  Player again("First", server.Folder());
  EXPECT_TRUE(Eventually([] {
    const auto streams = ApplicationStreams("First");
    return streams.size() == 1 && streams[0] == std::vector<DWORD>{10000, 20000};
  }));
  EXPECT_EQ(lineName(known), "First");

  Player mono("Second", server.Folder(), 1);
  ASSERT_TRUE(Eventually([] { return ApplicationStreams("Second").size() == 2; }));
  ASSERT_EQ(Write(applications, SECOND, {20000, 40000}), MMSYSERR_NOERROR);
  EXPECT_TRUE(Eventually([] {
    auto streams = ApplicationStreams("Second");
    std::sort(streams.begin(), streams.end());
    return streams == std::vector<std::vector<DWORD>>{{20000, 40000}, {40000}};
  }));
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{65536, 65536}));

  // A name too long for the list file is cut there; its line still sets its streams.
  const std::string longName(240, 'L');
  Player verbose(longName, server.Folder());
  ASSERT_TRUE(WaitForApplications(known + 3));
  ASSERT_EQ(Write(applications, FIRST + 2, {30000, 30000}), MMSYSERR_NOERROR);
  EXPECT_TRUE(Eventually([&longName] {
    return ApplicationStreams(longName) == std::vector<std::vector<DWORD>>{{30000, 30000}};
  }));
  EXPECT_EQ(mixerClose(applications), MMSYSERR_NOERROR);
}

// A device another program of ours listed is a device here too, once the lists are read again
// on connecting; never there, its line has two channels. (What reaches a device that comes
// back, on which channels, is the pulse face's unit tests'.)
TEST_F(PulseMixer, TakesUpTheDevicesAnotherProgramListedOnConnecting) {
  FILE* list = fopen((std::string(getenv("XDG_STATE_HOME")) + "/knobvane/devices").c_str(), "a");
  ASSERT_NE(list, nullptr);
  fputs("sink:mono\tMono\n", list);
  fclose(list);
  server.Stop();
  server.Start();
  ASSERT_EQ(mixerGetNumDevs(), devices + 1);
  HMIXER mono = nullptr;
  ASSERT_EQ(mixerOpen(&mono, applicationsIndex, 0, 0, 0), MMSYSERR_NOERROR);
  MIXERCAPSA caps;
  ASSERT_EQ(mixerGetDevCapsA(applicationsIndex, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Mono");
  MIXERLINEA line = LineRecord();
  ASSERT_EQ(QueryLine(Object(mono), MIXER_GETLINEINFOF_DESTINATION, &line), 0u);
  EXPECT_EQ(line.cChannels, 2u);
  EXPECT_EQ(mixerClose(mono), MMSYSERR_NOERROR);
}

// The default lines go to whichever device the server has as its default at each call, on two
// channels whatever it has: a change of the default writes nothing. (Whose balance a value
// written across a change of the default keeps is the pulse face's unit tests'.)
TEST_F(PulseMixer, DefaultLinesFollowTheServersDefault) {
  const std::string module = LoadOutput(
      "sink_name=quad channels=4 "
      "channel_map=front-left,front-right,rear-left,rear-right");
  ASSERT_TRUE(Eventually([] { return SinkNames().find(" quad ") != std::string::npos; }));
  Pactl("set-sink-volume quad 26214 52428 13107 26214");  // rear at half the front
  Pactl("set-sink-volume knobs 19661 39322");
  Pactl("set-default-sink quad");
  HMIXER output = nullptr;
  ASSERT_EQ(mixerOpen(&output, DEFAULT_OUTPUT, 0, 0, 0), MMSYSERR_NOERROR);
  MIXERLINEA line = LineRecord();
  ASSERT_EQ(QueryLine(Object(output), MIXER_GETLINEINFOF_DESTINATION, &line), 0u);
  EXPECT_EQ(line.cChannels, 2u);
  ASSERT_TRUE(Eventually([&] {
    const std::vector<DWORD> read = Channels(output, MASTER);
    return read[1] == 52428 && read[0] > 26210 && read[0] < 26218;
  })) << Channels(output, MASTER)[0];

  SoundLine knob;
  ASSERT_TRUE(knob.Open(nullptr, 1));
  ASSERT_EQ(knob.SetVolume(65535), MMSYSERR_NOERROR);
  Settle();
  const std::vector<DWORD> quad = {32768, 65536, 16384, 32768};
  EXPECT_EQ(SinkVolume("quad"), quad);

  Pactl("set-default-sink knobs");
  ASSERT_TRUE(Sees(output, MASTER, {19661, 39322}));
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{19661, 39322}));
  ASSERT_EQ(knob.SetVolume(32768), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{16384, 32768}));
  EXPECT_EQ(SinkVolume("quad"), quad);

  // The input likewise.
  Pactl("set-default-source mic");
  HMIXER input = nullptr;
  ASSERT_EQ(mixerOpen(&input, DEFAULT_INPUT, 0, 0, 0), MMSYSERR_NOERROR);
  Pactl("set-source-volume mic 30000 30000");
  ASSERT_TRUE(Sees(input, MASTER, {30000, 30000}));
  ASSERT_EQ(Write(input, MASTER, {10000, 20000}), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(PactlVolume(Pactl("get-source-volume mic")), (std::vector<DWORD>{10000, 20000}));
  Pactl("unload-module " + module);
  EXPECT_EQ(mixerClose(input), MMSYSERR_NOERROR);
  EXPECT_EQ(mixerClose(output), MMSYSERR_NOERROR);
}

// Players of one media role share the server's stream-restore id, but each application has a
// line of its own. A list of other ids keeps its places: an entry of another id is
// taken up by the application of its name.
TEST_F(PulseMixer, ApplicationsOfOneRoleHaveALineEachAndOldListsKeepTheirPlaces) {
  HMIXER applications = nullptr;
  ASSERT_EQ(mixerOpen(&applications, applicationsIndex, 0, 0, 0), MMSYSERR_NOERROR);
  MIXERCAPSA caps;
  ASSERT_EQ(mixerGetDevCapsA(applicationsIndex, &caps, sizeof caps), MMSYSERR_NOERROR);
  const DWORD known = caps.cDestinations;  // what tests before this one in the process added
  const std::string list = server.Folder() + "/state-home/knobvane/applications";
  std::filesystem::create_directories(std::filesystem::path(list).parent_path());
  FILE* file = fopen(list.c_str(), "a");
  ASSERT_NE(file, nullptr);
  fputs("sink-input-by-application-name:Gone\tGone\nsink-input-by-media-role:music\tRoleTwo\n",
        file);
  fclose(file);
  Player one("RoleOne", server.Folder(), 2, "music");
  Player two("RoleTwo", server.Folder(), 2, "music");
  ASSERT_TRUE(WaitForApplications(known + 3));
  ASSERT_TRUE(Eventually([] { return ApplicationStreams("RoleTwo").size() == 1; }));
  // The server does group them: a desktop's would too.
  const std::string streams = Pactl("list sink-inputs");
  const std::string roleID = "module-stream-restore.id = \"sink-input-by-media-role:music\"";
  ASSERT_NE(streams.find(roleID), streams.rfind(roleID)) << streams;

  const char* names[] = {"Gone", "RoleTwo", "RoleOne"};
  for (DWORD place = 0; place < 3; ++place) {
    MIXERLINEA line = LineRecord();
    line.dwDestination = known + place;
    ASSERT_EQ(QueryLine(Object(applications), MIXER_GETLINEINFOF_DESTINATION, &line), 0u);
    EXPECT_STREQ(line.szName, names[place]);
  }
  ASSERT_EQ(Write(applications, FIRST_APPLICATION + known + 1, {10000, 20000}), MMSYSERR_NOERROR);
  EXPECT_TRUE(Eventually([] {
    return ApplicationStreams("RoleTwo") == std::vector<std::vector<DWORD>>{{10000, 20000}};
  }));
  EXPECT_EQ(ApplicationStreams("RoleOne"), (std::vector<std::vector<DWORD>>{{65536, 65536}}));
  EXPECT_EQ(mixerClose(applications), MMSYSERR_NOERROR);
}

// The server reads a name of digits as an index when no device has that name, so a handle on
// a device named after another's index must not reach that other device once its own is gone.
TEST_F(PulseMixer, HandleOfAGoneDeviceNamedInDigitsNeverReachesAnother) {
  const std::string sinks = Pactl("list short sinks");
  const std::string knobsIndex = sinks.substr(0, sinks.find_first_of(" \t"));
  ASSERT_EQ(sinks.find(knobsIndex + "\tknobs"), 0u) << sinks;
  const std::string module = LoadOutput("sink_name=" + knobsIndex);
  ASSERT_TRUE(Eventually([this] { return mixerGetNumDevs() == devices + 1; }));
  HMIXER digits = nullptr;
  ASSERT_EQ(mixerOpen(&digits, applicationsIndex, 0, 0, 0), MMSYSERR_NOERROR);  // the last device
  ASSERT_EQ(Write(digits, MASTER, {30000, 30000}), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{65536, 65536}));

  Pactl("unload-module " + module);
  ASSERT_TRUE(Eventually(
      [&knobsIndex] { return SinkNames().find(" " + knobsIndex + " ") == std::string::npos; }));
  // Kept for the device's return, whether the mixer has learnt of its removal yet or not.
  EXPECT_EQ(Write(digits, MASTER, {1000, 1000}), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{65536, 65536}));
  EXPECT_EQ(mixerClose(digits), MMSYSERR_NOERROR);
}

TEST_F(PulseMixer, WorksAgainAfterTheServerRestarts) {
  ASSERT_EQ(Write(knobs, MASTER, {30000, 60000}), MMSYSERR_NOERROR);
  server.Stop();
  EXPECT_EQ(mixerGetNumDevs(), 0u);
  std::vector<DWORD> values(2);
  EXPECT_EQ(Read(knobs, MASTER, &values), MMSYSERR_NODRIVER);
  EXPECT_EQ(Write(knobs, MASTER, {1000, 1000}), MMSYSERR_NODRIVER);

  server.Start();
  EXPECT_EQ(mixerGetNumDevs(), devices);
  // The handle opened before still names the null output.
  Settle();
  EXPECT_EQ(Channels(knobs, MASTER), (std::vector<DWORD>{65535, 65535}));
  ASSERT_EQ(Write(knobs, MASTER, {30000, 60000}), MMSYSERR_NOERROR);
  Settle();
  EXPECT_EQ(SinkVolume(), (std::vector<DWORD>{30000, 60000}));

  // A restart between two calls is noticed by the next one.
  server.Stop();
  server.Start();
  EXPECT_EQ(mixerGetNumDevs(), devices);
}

TEST_F(PulseMixer, GivesUpOnAServerThatStoppedAnswering) {
  server.Pause();
  EXPECT_EQ(mixerGetNumDevs(), 0u);
  std::vector<DWORD> values(2);
  EXPECT_EQ(Read(knobs, MASTER, &values), MMSYSERR_NODRIVER);
  server.Resume();
  EXPECT_TRUE(Eventually([this] { return mixerGetNumDevs() == devices; }));
  EXPECT_EQ(Read(knobs, MASTER, &values), MMSYSERR_NOERROR);
}

TEST_F(PulseMixer, SoundLineKeepsTheOutputsBalanceAndRestoresItAfterSilence) {
  SoundLine master;
  ASSERT_TRUE(master.Open(nullptr, 5));  // 4 is the null output, 5 its master line
  Pactl("set-sink-volume knobs 30% 60%");
  ASSERT_TRUE(Sees(knobs, MASTER, SinkVolume()));
  // Full volume: the louder channel goes to exactly 100 %, the other keeps half of it.
  const std::vector<DWORD> full = {32768, 65536};
  for (DWORD volume : {DWORD{65535}, DWORD{0}, DWORD{65535}}) {
    ASSERT_EQ(master.SetVolume(volume), MMSYSERR_NOERROR);
    Settle();
    const std::vector<DWORD> set = SinkVolume();
    ASSERT_EQ(set.size(), 2u);
    if (volume == 0) {
      EXPECT_EQ(set, (std::vector<DWORD>{0, 0}));
    } else {
      EXPECT_NEAR(set[0], full[0], 1);
      EXPECT_EQ(set[1], full[1]);
    }
  }
}

}  // namespace

// winmm's rules for bad calls, as the simulated mixer answers them too.
struct PulseAudioMixer {
  static constexpr UINT DEVICE = KNOBS, OTHER = MIC, LONG_NAMED = WIDE, DEVICES = ::DEVICES;
  static constexpr DWORD LINE = MASTER;
  static void SetUpTestSuite() { Server().Start(); }
  static void TearDownTestSuite() { Server().Stop(); }
  static void SetUp() {}
  static std::vector<DWORD> Outside() {
    Settle();
    return SinkVolume();
  }
  static PrivateServer& Server() {
    static PrivateServer server;
    return server;
  }
};

namespace winmm_rules {
INSTANTIATE_TYPED_TEST_SUITE_P(WinmmRules, WinmmRules, PulseAudioMixer);
}  // namespace winmm_rules

namespace {

TEST(PulseMixerWithoutServer, HasNoDevicesAndEveryCallFails) {
  char tmpl[] = "/tmp/knobvane-pulse-XXXXXX";
  const std::string folder = mkdtemp(tmpl);
  setenv("XDG_STATE_HOME", folder.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + folder + "/nobody-listens-here").c_str(), 1);
  EXPECT_EQ(mixerGetNumDevs(), 0u);
  HMIXER mixer = nullptr;
  EXPECT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_BADDEVICEID);
  MIXERCAPSA caps;
  EXPECT_EQ(mixerGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  MIXERLINEA line = LineRecord();
  EXPECT_EQ(QueryLine(Object(UINT_PTR{0}), 0, &line), MMSYSERR_BADDEVICEID);
  std::vector<DWORD> values(2);
  EXPECT_EQ(Read(mixer, MASTER, &values), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Write(mixer, MASTER, {0, 0}), MMSYSERR_INVALHANDLE);
  std::filesystem::remove_all(folder);
}

}  // namespace
