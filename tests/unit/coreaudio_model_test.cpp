// The stand-in Core Audio's model file: what the Wine tests write, and what the stand-in
// makes of a client's writes.
#include "platform/sim/coreaudio_model.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using audiomodel::Model;

constexpr char SPEAKERS[] = "endpoint id={speakers} flow=render levels=0.5,1 name=Speakers\n";

// A test's typo must be refused whole, never read as a device without channels or a session
// nobody owns; the line it is on is named.
TEST(CoreAudioModel, RefusesAFileThatBreaksARule) {
  struct Row {
    const char* text;
    const char* error;
  } rows[] = {
      {"endpoint id=a flow=render levels=1.5 name=A", "line 1: levels are 1 to 32 numbers 0..1"},
      {"endpoint id=a flow=render levels=nan name=A", "line 1: levels are 1 to 32 numbers 0..1"},
      {"endpoint id=a flow=render levels=0.5, name=A", "line 1: levels are 1 to 32 numbers 0..1"},
      {"endpoint id=a flow=render levels=0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
       "0,0,0,0",
       "line 1: levels are 1 to 32 numbers 0..1"},
      {"endpoint id=a flow=output levels=1", "line 1: flow is render or capture"},
      {"endpoint id=a flow=render", "line 1: an endpoint needs flow= and levels="},
      {"endpoint flow=render levels=1", "line 1: an endpoint needs an id"},
      {"endpoint id=a flow=render levels=1 colour=red", "line 1: an endpoint has no colour"},
      {"endpoint id=a flow=render levels=1 state=asleep", "line 1: no endpoint state asleep"},
      {"# two\nendpoint id=a flow=render levels=1\nendpoint id=a flow=capture levels=1",
       "line 3: a second endpoint a"},
      {"default render {speakers}", "line 1: no render endpoint {speakers} above"},
      {"endpoint id=m flow=capture levels=1\ndefault render m",
       "line 2: no render endpoint m above"},
      {"default render", "line 1: default is followed by render or capture and an id"},
      {"session endpoint={speakers} pid=1", "line 1: no endpoint {speakers} above"},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a pid=-1",
       "line 2: pid is a number or many"},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a pid=4294967296",
       "line 2: pid is a number or many"},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a",
       "line 2: a session needs endpoint= and pid="},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a pid=1 master=2",
       "line 2: master is a level 0..1"},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a pid=1 sytem",
       "line 2: a session has no sytem"},
      {"endpoint id=a flow=render levels=1\nsession endpoint=a pid=1 state=gone",
       "line 2: no session state gone"},
      {"speaker id=a", "line 1: no entry speaker"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Model model;
    model.defaultRender = "kept";
    std::string error;
    EXPECT_FALSE(audiomodel::ParseModel(row.text, &model, &error));
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(model.defaultRender, "kept");
  }
}

// What the stand-in writes back is what a test wrote, in the same words: names and paths with
// blanks, every optional field, line ends from either system.
TEST(CoreAudioModel, WritesBackWhatItRead) {
  const std::string text =
      "endpoint id={0.0.0.00000000}.{speakers} flow=render levels=0.25,1 mute=1 name=Speakers "
      "(High Definition Audio)\n"
      "endpoint id={mic} flow=capture levels=0.8 state=unplugged name=Microphone\n"
      "default render {0.0.0.00000000}.{speakers}\n"
      "default capture {mic}\n"
      "session endpoint={0.0.0.00000000}.{speakers} pid=0 master=1 system\n"
      "session endpoint={0.0.0.00000000}.{speakers} pid=many master=0.5 levels=1,0.5 "
      "state=inactive mute=1 path=C:\\Program Files\\Discord\\Discord.exe\n"
      "session endpoint={mic} pid=4294967295 master=0 state=expired\n";
  Model model;
  std::string error;
  std::string crlf;
  for (char c : "# written on Windows\n" + text)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_TRUE(audiomodel::ParseModel(crlf, &model, &error)) << error;
  EXPECT_EQ(audiomodel::FormatModel(model), text);
  ASSERT_EQ(model.sessions.size(), 3u);
  EXPECT_EQ(model.sessions[1].path, "C:\\Program Files\\Discord\\Discord.exe");
  EXPECT_TRUE(model.sessions[1].manyProcesses);
  EXPECT_EQ(model.endpoints[1].state, audiomodel::STATE_UNPLUGGED);
}

// The endpoint's master is its loudest channel, and setting it keeps the balance the user set.
TEST(CoreAudioModel, EndpointMasterKeepsTheBalance) {
  struct Row {
    std::vector<float> levels;
    float master;
    std::vector<float> after;
  } rows[] = {
      {{0.5f, 1}, 0.5f, {0.25f, 0.5f}},
      {{0.5f, 0.25f}, 1, {1, 0.5f}},
      {{0.8f}, 0.2f, {0.2f}},
      {{0.4f, 0.4f, 0.2f, 0}, 0.2f, {0.2f, 0.2f, 0.1f, 0}},
      // Silent everywhere: no balance is left to keep.
      {{0, 0}, 0.6f, {0.6f, 0.6f}},
      {{0.5f, 1}, 0, {0, 0}},
  };
  for (const Row& row : rows) {
    audiomodel::Endpoint endpoint;
    endpoint.levels = row.levels;
    audiomodel::SetEndpointMaster(endpoint, row.master);
    ASSERT_EQ(endpoint.levels.size(), row.after.size());
    for (size_t i = 0; i < row.after.size(); ++i)
      EXPECT_FLOAT_EQ(endpoint.levels[i], row.after[i]) << i;
    EXPECT_FLOAT_EQ(audiomodel::EndpointMaster(endpoint), row.master);
  }
}

// A program that cannot name a session's process takes the executable from its identifier.
TEST(CoreAudioModel, SessionIdentifiersCarryTheExecutablesPath) {
  Model model;
  std::string error;
  ASSERT_TRUE(audiomodel::ParseModel(
      std::string(SPEAKERS) + "session endpoint={speakers} pid=0 system\n"
                              "session endpoint={speakers} pid=7 path=C:\\Games\\Game.exe\n"
                              "session endpoint={speakers} pid=8\n",
      &model, &error))
      << error;
  const char* GROUPING = "%b{00000000-0000-0000-0000-000000000000}";
  EXPECT_EQ(audiomodel::SessionIdentifier(model.sessions[0], ""),
            "{speakers}|#%b{A9EF3FD9-4240-455E-A4D5-F2B3301887B2}");
  EXPECT_EQ(audiomodel::SessionIdentifier(model.sessions[1], model.sessions[1].path),
            std::string("{speakers}|\\Device\\HarddiskVolume3\\Games\\Game.exe") + GROUPING);
  EXPECT_EQ(
      audiomodel::SessionInstanceIdentifier(model.sessions[1], model.sessions[1].path, 1),
      std::string("{speakers}|\\Device\\HarddiskVolume3\\Games\\Game.exe") + GROUPING + "|1%b7");
  EXPECT_EQ(audiomodel::SessionIdentifier(model.sessions[2], "Z:\\tmp\\x.exe"),
            std::string("{speakers}|\\Device\\HarddiskVolume26\\tmp\\x.exe") + GROUPING);
  EXPECT_EQ(audiomodel::SessionIdentifier(model.sessions[2], ""),
            std::string("{speakers}|#") + GROUPING);
}

}  // namespace
