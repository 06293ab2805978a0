// The line rules of the Windows mixer face, with no Core Audio in them.
#include "platform/coreaudio/rules.h"

#include <cstring>

#include "platform/text.h"

namespace coreaudio {
namespace {

uint32_t ToLine(float level) {
  if (!(level > 0.0f)) return 0;
  if (level >= 1.0f) return LINE_TOP;
  return static_cast<uint32_t>(level * LINE_TOP + 0.5f);
}

float ToLevel(uint32_t value) {
  return value >= LINE_TOP ? 1.0f : static_cast<float>(value) / LINE_TOP;
}

float AtMostOne(float level) { return level < 1.0f ? level : 1.0f; }

uint32_t Louder(LineValue line) { return line.left > line.right ? line.left : line.right; }

float Loudest(const Levels& levels) {
  float loudest = 0.0f;
  for (uint32_t i = 0; i < levels.count; ++i) {
    if (levels.level[i] > loudest) loudest = levels.level[i];
  }
  return loudest;
}

// The louder of the front pair: the channels a line shows.
float LouderFront(const Levels& levels) {
  if (levels.count == 0) return 0.0f;
  if (levels.count == 1) return levels.level[0];
  return levels.level[0] > levels.level[1] ? levels.level[0] : levels.level[1];
}

// The file name in a path of either slash.
const char* FileName(const char* path, size_t length, size_t* nameLength) {
  size_t start = length;
  while (start > 0 && path[start - 1] != '\\' && path[start - 1] != '/') --start;
  *nameLength = length - start;
  return path + start;
}

void PutField(char (&field)[APPLICATION_FIELD_BYTES], const char* prefix, const char* text,
              size_t length, bool lowerCase) {
  const size_t prefixLength = strlen(prefix);
  memcpy(field, prefix, prefixLength);
  const size_t kept = Utf8CutLength(text, length, sizeof field - 1 - prefixLength);
  for (size_t i = 0; i < kept; ++i) {
    const char c = text[i];
    field[prefixLength + i] =
        lowerCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  field[prefixLength + kept] = '\0';
}

}  // namespace

LineValue LineOfEndpoint(const Levels& endpoint) {
  if (endpoint.count == 0) return FULL_LINE;
  const uint32_t left = ToLine(endpoint.level[0]);
  return LineValue{left, endpoint.count == 1 ? left : ToLine(endpoint.level[1])};
}

Levels OntoEndpoint(LineValue line, const Levels& before, bool keepBalance) {
  Levels after = before;
  const float top = ToLevel(Louder(line));
  const float loudest = Loudest(before);
  if (keepBalance || before.count == 1) {
    for (uint32_t i = 0; i < after.count; ++i) {
      after.level[i] = loudest > 0.0f ? AtMostOne(before.level[i] * top / loudest) : top;
    }
    return after;
  }
  if (before.count < 2) return after;
  after.level[0] = ToLevel(line.left);
  after.level[1] = ToLevel(line.right);
  const float front = LouderFront(before);
  for (uint32_t i = 2; i < after.count; ++i) {
    after.level[i] = front > 0.0f ? AtMostOne(before.level[i] * top / front) : top;
  }
  return after;
}

LineValue LineOfSession(float master, const Levels& channels) {
  if (channels.count == 0) {
    const uint32_t value = ToLine(master);
    return LineValue{value, value};
  }
  const uint32_t left = ToLine(master * channels.level[0]);
  return LineValue{left, channels.count == 1 ? left : ToLine(master * channels.level[1])};
}

void OntoSession(LineValue line, const Levels& before, float* master, Levels* channels) {
  const uint32_t top = Louder(line);
  *master = ToLevel(top);
  *channels = before;
  const float loudest = Loudest(before);
  if (top == 0) return;
  for (uint32_t i = 0; i < before.count; ++i) {
    channels->level[i] = loudest > 0.0f ? before.level[i] / loudest : 1.0f;
  }
}

bool NameOfSession(const SessionFacts& session, char (&id)[APPLICATION_FIELD_BYTES],
                   char (&name)[APPLICATION_FIELD_BYTES]) {
  // The system sounds session runs in the audio service, whose executable names nothing the
  // user knows.
  if (session.systemSounds) {
    PutField(id, "system-sounds", "", 0, false);
    PutField(name, "System Sounds", "", 0, false);
    return true;
  }
  const char* path = session.imagePath;
  size_t length = strlen(path);
  if (length == 0) {
    // A session of no single process, or of one we may not open, still carries its
    // executable's path in its identifier, between the device's id and "%b".
    const char* bar = strchr(session.identifier, '|');
    if (bar == nullptr) return false;
    path = bar + 1;
    const char* end = strstr(path, "%b");
    length = end != nullptr ? static_cast<size_t>(end - path) : strlen(path);
    // "#" stands for no executable.
    if (length == 1 && path[0] == '#') return false;
  }
  size_t fileLength = 0;
  const char* file = FileName(path, length, &fileLength);
  if (fileLength == 0) return false;
  PutField(id, "exe:", file, fileLength, true);
  PutField(name, "", file, fileLength, false);
  return true;
}

uint32_t Fingerprint(const char* text) {
  uint32_t hash = 2166136261u;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    hash = (hash ^ *c) * 16777619u;
  }
  return hash;
}

}  // namespace coreaudio
