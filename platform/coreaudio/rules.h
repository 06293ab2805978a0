// The rules that turn what Core Audio gives into the mixer's lines and back, as plain functions:
// how an endpoint's or a session's channels show on a line of two, how a value written to the
// line goes onto them keeping the balance, and how a session's application is named.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/coreaudio/audio_system.h"
#include "platform/volume_scale.h"

namespace coreaudio {

// The top of the lines' volume scale, as every mixer of ours has it.
constexpr uint32_t LINE_TOP = VOLUME_SCALE_TOP;

// What a line shows and takes: left and right on the scale 0..LINE_TOP. Every line of these
// devices has two channels, whatever its endpoint or sessions have, as on the Linux mixer, so a
// line keeps its shape when the default moves to an endpoint of other channels.
struct LineValue {
  uint32_t left;
  uint32_t right;
};

constexpr LineValue FULL_LINE{LINE_TOP, LINE_TOP};

// An endpoint's channels as a line: its first two (front left and right come first in every
// channel mask's order), a mono endpoint's one on both.
LineValue LineOfEndpoint(const Levels& endpoint);

// A line's value carried onto an endpoint's channels as they are now. The first two take the
// line's left and right; every other (centre, rear, bass) keeps its ratio to the louder of them.
// With keepBalance (the value was made from another endpoint's balance) the endpoint keeps its
// own, only its loudest channel following the line's.
Levels OntoEndpoint(LineValue line, const Levels& before, bool keepBalance);

// A session as a line: what is heard is the session's master times its channel's volume.
LineValue LineOfSession(float master, const Levels& channels);

// A line's value carried onto a session, which keeps its own balance: its master takes the
// line's loudest channel, which is what the system's volume mixer shows, and its channel volumes
// only their ratios, the loudest at full, so the loudest channel heard is the line's. Each
// session of an application has a balance of its own (one per output, one per song), and a knob
// only turns them. A session that gives no channel volumes takes the master alone; one turned
// down to silence keeps its channels as they were.
void OntoSession(LineValue line, const Levels& before, float* master, Levels* channels);

// The fields of an application's entry in the list: an id that tells one executable from
// another as Windows does (file names ignore case) and the name the user sees, the executable's
// file name as Windows shows it, or "System Sounds". False when nothing names the session's
// executable.
constexpr size_t APPLICATION_FIELD_BYTES = 201;
bool NameOfSession(const SessionFacts& session, char (&id)[APPLICATION_FIELD_BYTES],
                   char (&name)[APPLICATION_FIELD_BYTES]);

// A short fingerprint of a text (FNV-1a), to tell endpoints and sessions apart without keeping
// their long identifiers.
uint32_t Fingerprint(const char* text);

}  // namespace coreaudio
