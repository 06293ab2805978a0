// The stand-in Core Audio's model file: reading it strictly (a test's typo must not pass for a
// device with no channels) and writing it back in the same form.
#include "platform/sim/coreaudio_model.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace audiomodel {

namespace {

// Grouping of sessions that did not ask for one, and the system sounds' own: the GUIDs Windows
// shows in their identifiers.
constexpr char NO_GROUPING[] = "{00000000-0000-0000-0000-000000000000}";
constexpr char SYSTEM_SOUNDS_GROUPING[] = "{A9EF3FD9-4240-455E-A4D5-F2B3301887B2}";

// One entry's words: key=value pairs and bare flags, in order; name= and path= end the line.
struct Words {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<std::string> flags;
};

Words SplitWords(const std::string& line) {
  Words words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at == line.size()) break;
    size_t end = line.find_first_of(" \t", at);
    if (end == std::string::npos) end = line.size();
    const std::string word = line.substr(at, end - at);
    const size_t equals = word.find('=');
    if (equals == std::string::npos) {
      words.flags.push_back(word);
    } else {
      const std::string key = word.substr(0, equals);
      if (key == "name" || key == "path") end = line.size();
      words.pairs.emplace_back(key, line.substr(at + equals + 1, end - at - equals - 1));
    }
    at = end;
  }
  return words;
}

bool ParseLevel(const std::string& text, float* level) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const float value = strtof(text.c_str(), &end);
  // NaN fails both comparisons.
  if (errno != 0 || *end != '\0' || !(value >= 0 && value <= 1)) return false;
  *level = value;
  return true;
}

bool ParseLevels(const std::string& text, std::vector<float>* levels) {
  levels->clear();
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    float level = 0;
    if (!ParseLevel(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at),
                    &level)) {
      return false;
    }
    levels->push_back(level);
    if (levels->size() > MAX_CHANNELS) return false;
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

bool ParseFlow(const std::string& text, Flow* flow) {
  if (text == "render") {
    *flow = Flow::RENDER;
  } else if (text == "capture") {
    *flow = Flow::CAPTURE;
  } else {
    return false;
  }
  return true;
}

bool ParsePid(const std::string& text, Session* session) {
  if (text == "many") {
    session->manyProcesses = true;
    session->pid = 0;
    return true;
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long pid = strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || pid > 0xFFFFFFFFull) return false;
  session->pid = static_cast<uint32_t>(pid);
  return true;
}

const char* const ENDPOINT_STATES[] = {"active", "disabled", "notpresent", "unplugged"};
const char* const SESSION_STATES[] = {"inactive", "active", "expired"};

bool ParseEndpoint(const Words& words, Endpoint* endpoint, std::string* why) {
  bool hasFlow = false, hasLevels = false;
  for (const auto& [key, value] : words.pairs) {
    if (key == "id") {
      endpoint->id = value;
    } else if (key == "name") {
      endpoint->name = value;
    } else if (key == "flow") {
      hasFlow = ParseFlow(value, &endpoint->flow);
      if (!hasFlow) return *why = "flow is render or capture", false;
    } else if (key == "levels") {
      hasLevels = ParseLevels(value, &endpoint->levels);
      if (!hasLevels) return *why = "levels are 1 to 32 numbers 0..1", false;
    } else if (key == "state") {
      endpoint->state = 0;
      for (size_t i = 0; i < 4; ++i) {
        if (value == ENDPOINT_STATES[i]) endpoint->state = 1u << i;
      }
      if (endpoint->state == 0) return *why = "no endpoint state " + value, false;
    } else if (key == "mute") {
      endpoint->muted = value == "1";
    } else {
      return *why = "an endpoint has no " + key, false;
    }
  }
  if (!words.flags.empty()) return *why = "an endpoint has no " + words.flags[0], false;
  if (endpoint->id.empty()) return *why = "an endpoint needs an id", false;
  if (!hasFlow || !hasLevels) return *why = "an endpoint needs flow= and levels=", false;
  return true;
}

bool ParseSession(const Words& words, Session* session, std::string* why) {
  bool hasPid = false;
  for (const auto& [key, value] : words.pairs) {
    if (key == "endpoint") {
      session->endpoint = value;
    } else if (key == "pid") {
      hasPid = ParsePid(value, session);
      if (!hasPid) return *why = "pid is a number or many", false;
    } else if (key == "master") {
      if (!ParseLevel(value, &session->master)) return *why = "master is a level 0..1", false;
    } else if (key == "levels") {
      if (!ParseLevels(value, &session->levels)) {
        return *why = "levels are 1 to 32 numbers 0..1", false;
      }
    } else if (key == "state") {
      session->state = -1;
      for (int i = 0; i < 3; ++i) {
        if (value == SESSION_STATES[i]) session->state = i;
      }
      if (session->state < 0) return *why = "no session state " + value, false;
    } else if (key == "mute") {
      session->muted = value == "1";
    } else if (key == "path") {
      session->path = value;
    } else {
      return *why = "a session has no " + key, false;
    }
  }
  for (const std::string& flag : words.flags) {
    if (flag != "system") return *why = "a session has no " + flag, false;
    session->system = true;
  }
  if (session->endpoint.empty() || !hasPid)
    return *why = "a session needs endpoint= and pid=", false;
  return true;
}

void AppendLevels(std::string& text, const std::vector<float>& levels) {
  char number[32];
  for (size_t i = 0; i < levels.size(); ++i) {
    snprintf(number, sizeof number, "%s%.6g", i ? "," : "", static_cast<double>(levels[i]));
    text += number;
  }
}

// "C:\Program Files\x.exe" as the kernel names it: each drive a volume of its own.
std::string NtPath(const std::string& dosPath) {
  if (dosPath.size() >= 2 && dosPath[1] == ':' && isalpha(static_cast<unsigned char>(dosPath[0]))) {
    const int volume = toupper(static_cast<unsigned char>(dosPath[0])) - 'A' + 1;
    return "\\Device\\HarddiskVolume" + std::to_string(volume) + dosPath.substr(2);
  }
  return dosPath;
}

}  // namespace

bool ParseModel(const std::string& text, Model* model, std::string* error) {
  Model read;
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t kindEnd = line.find_first_of(" \t", first);
    const std::string kind = line.substr(first, kindEnd - first);
    const std::string rest = kindEnd == std::string::npos ? "" : line.substr(kindEnd);
    std::string why;
    if (kind == "endpoint") {
      Endpoint endpoint;
      if (ParseEndpoint(SplitWords(rest), &endpoint, &why) && FindEndpoint(read, endpoint.id)) {
        why = "a second endpoint " + endpoint.id;
      }
      if (why.empty()) read.endpoints.push_back(endpoint);
    } else if (kind == "default") {
      const Words words = SplitWords(rest);
      Flow flow = Flow::RENDER;
      if (words.flags.size() != 2 || !words.pairs.empty() || !ParseFlow(words.flags[0], &flow)) {
        why = "default is followed by render or capture and an id";
      } else {
        const Endpoint* endpoint = FindEndpoint(read, words.flags[1]);
        if (endpoint == nullptr || endpoint->flow != flow) {
          why = "no " + words.flags[0] + " endpoint " + words.flags[1] + " above";
        } else {
          (flow == Flow::RENDER ? read.defaultRender : read.defaultCapture) = endpoint->id;
        }
      }
    } else if (kind == "session") {
      Session session;
      if (ParseSession(SplitWords(rest), &session, &why) && !FindEndpoint(read, session.endpoint)) {
        why = "no endpoint " + session.endpoint + " above";
      }
      if (why.empty()) read.sessions.push_back(session);
    } else {
      why = "no entry " + kind;
    }
    if (!why.empty()) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  *model = read;
  return true;
}

std::string FormatModel(const Model& model) {
  std::string text;
  for (const Endpoint& endpoint : model.endpoints) {
    text += "endpoint id=" + endpoint.id;
    text += endpoint.flow == Flow::RENDER ? " flow=render" : " flow=capture";
    text += " levels=";
    AppendLevels(text, endpoint.levels);
    for (size_t i = 0; i < 4; ++i) {
      if (endpoint.state == 1u << i && i > 0) text += std::string(" state=") + ENDPOINT_STATES[i];
    }
    if (endpoint.muted) text += " mute=1";
    if (!endpoint.name.empty()) text += " name=" + endpoint.name;
    text += '\n';
  }
  if (!model.defaultRender.empty()) text += "default render " + model.defaultRender + '\n';
  if (!model.defaultCapture.empty()) text += "default capture " + model.defaultCapture + '\n';
  char number[32];
  for (const Session& session : model.sessions) {
    text += "session endpoint=" + session.endpoint + " pid=";
    text += session.manyProcesses ? "many" : std::to_string(session.pid);
    snprintf(number, sizeof number, " master=%.6g", static_cast<double>(session.master));
    text += number;
    if (!session.levels.empty()) {
      text += " levels=";
      AppendLevels(text, session.levels);
    }
    if (session.state != SESSION_ACTIVE)
      text += std::string(" state=") + SESSION_STATES[session.state];
    if (session.muted) text += " mute=1";
    if (session.system) text += " system";
    if (!session.path.empty()) text += " path=" + session.path;
    text += '\n';
  }
  return text;
}

Endpoint* FindEndpoint(Model& model, const std::string& id) {
  for (Endpoint& endpoint : model.endpoints) {
    if (endpoint.id == id) return &endpoint;
  }
  return nullptr;
}

const Endpoint* FindEndpoint(const Model& model, const std::string& id) {
  return FindEndpoint(const_cast<Model&>(model), id);
}

float EndpointMaster(const Endpoint& endpoint) {
  float loudest = 0;
  for (float level : endpoint.levels) loudest = level > loudest ? level : loudest;
  return loudest;
}

void SetEndpointMaster(Endpoint& endpoint, float level) {
  const float loudest = EndpointMaster(endpoint);
  for (float& channel : endpoint.levels) {
    // All silent: there is no balance left to keep.
    channel = loudest > 0 ? std::fmin(1.0f, channel * level / loudest) : level;
  }
}

std::string SessionIdentifier(const Session& session, const std::string& imagePath) {
  if (session.system) return session.endpoint + "|#" + "%b" + SYSTEM_SOUNDS_GROUPING;
  const std::string path = imagePath.empty() ? "#" : NtPath(imagePath);
  return session.endpoint + "|" + path + "%b" + NO_GROUPING;
}

std::string SessionInstanceIdentifier(const Session& session, const std::string& imagePath,
                                      size_t number) {
  return SessionIdentifier(session, imagePath) + "|" + std::to_string(number) + "%b" +
         std::to_string(session.pid);
}

}  // namespace audiomodel
