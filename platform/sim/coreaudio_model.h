// The audio endpoints and sessions the stand-in Core Audio (platform/sim/mmdevapi_dll.cpp)
// shows a Windows program under Wine, kept in a small text file that a test writes and reads
// back. No Windows types here: what a file may hold and how an endpoint's master and channel
// levels relate are rules the host build tests alone.
//
// Model file, one entry per line, words separated by blanks, '#' beginning a comment; name=
// and path= take the rest of the line, blanks included:
//   endpoint id=ID flow=render|capture levels=L[,L...] [state=active|disabled|notpresent|
//            unplugged] [mute=1] name=NAME
//   default render|capture ID
//   session endpoint=ID pid=N|many [master=M] [levels=L[,L...]] [state=active|inactive|
//           expired] [mute=1] [system] [path=EXECUTABLE'S PATH]
// Levels are 0..1. A session without levels= has a master volume only (no IChannelAudioVolume);
// pid=many is a session of several processes (AUDCLNT_S_NO_SINGLE_PROCESS). A file that breaks
// a rule is refused whole: the stand-in then shows no endpoints. A client knows a session by its
// place among the sessions: while a program runs, add sessions at the end and remove none.
#ifndef KNOBVANE_PLATFORM_SIM_COREAUDIO_MODEL_H
#define KNOBVANE_PLATFORM_SIM_COREAUDIO_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace audiomodel {

enum class Flow { RENDER, CAPTURE };

// Endpoint states with the values of Windows' DEVICE_STATE_* bits.
constexpr uint32_t STATE_ACTIVE = 1, STATE_DISABLED = 2, STATE_NOTPRESENT = 4, STATE_UNPLUGGED = 8;
// Session states with the values of Windows' AudioSessionState.
constexpr int SESSION_INACTIVE = 0, SESSION_ACTIVE = 1, SESSION_EXPIRED = 2;
// No endpoint or session stream has more channels than a sound card can carry.
constexpr size_t MAX_CHANNELS = 32;

struct Endpoint {
  std::string id;
  std::string name;
  Flow flow = Flow::RENDER;
  uint32_t state = STATE_ACTIVE;
  bool muted = false;
  std::vector<float> levels;  // one per channel, 0..1
};

struct Session {
  std::string endpoint;  // its endpoint's id
  uint32_t pid = 0;
  bool manyProcesses = false;
  float master = 1;
  std::vector<float> levels;  // empty: master only
  int state = SESSION_ACTIVE;
  bool muted = false;
  bool system = false;
  std::string path;  // the executable's DOS path, or empty
};

struct Model {
  std::vector<Endpoint> endpoints;
  std::string defaultRender, defaultCapture;  // endpoint ids, empty for none
  std::vector<Session> sessions;              // in the order they were created
};

// Reads a model file's text; false with "line N: why" in *error when it breaks a rule, *model
// then untouched.
bool ParseModel(const std::string& text, Model* model, std::string* error);
// The text that ParseModel reads back as the same model.
std::string FormatModel(const Model& model);

// The endpoint with this id, or null.
Endpoint* FindEndpoint(Model& model, const std::string& id);
const Endpoint* FindEndpoint(const Model& model, const std::string& id);

// An endpoint's master level is its loudest channel's; setting it scales every channel by the
// same factor, so the balance the user set stays. level must be 0..1.
float EndpointMaster(const Endpoint& endpoint);
void SetEndpointMaster(Endpoint& endpoint, float level);

// A session's identifiers as Windows forms them: the endpoint's id, the executable's NT path
// (or '#' where there is none) and a grouping; the instance adds the session's number and pid.
// imagePath is the executable's DOS path ("C:\...\firefox.exe"), or empty.
std::string SessionIdentifier(const Session& session, const std::string& imagePath);
std::string SessionInstanceIdentifier(const Session& session, const std::string& imagePath,
                                      size_t number);

}  // namespace audiomodel

#endif  // KNOBVANE_PLATFORM_SIM_COREAUDIO_MODEL_H
