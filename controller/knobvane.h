// Knobvane, the controller: takes a COM port and one sound line per ADC channel from its
// command line, then for as long as it runs connects to the box, decodes every reading into
// a channel and a level, and sets the volume of the line mapped to that channel. It shows
// nothing but a usage box, reconnects by itself, and tells each change of what it waits for
// (controller/states.h).
#ifndef KNOBVANE_CONTROLLER_KNOBVANE_H
#define KNOBVANE_CONTROLLER_KNOBVANE_H

#include <cstdint>

#include "controller/argument_list.h"
#include "firmware/knobbox/reading_format.h"
#include "platform/volume_scale.h"
#include "platform/win32.h"
#include "sound-lines/sound_line.h"

constexpr int32_t NO_LINE = -1;  // an ADC channel without a sound line
constexpr int CHANNEL_COUNT = READING_KNOBS;

// The line number of each ADC channel, NO_LINE where none was given.
extern int32_t channelLines[CHANNEL_COUNT];
// The sound line of each ADC channel, open where channelLines names one.
extern SoundLine channelSoundLines[CHANNEL_COUNT];

// A line number argument: its leading decimal number, NO_LINE when it has none ("x").
int32_t ParseLineArgument(const char* text);

// One reading of the box: ReadingOf(channel, adc) as decimal text.
struct Reading {
  int32_t channel;  // ADC channel; outside 0..5 when the text names no channel of ours
  DWORD volume;     // the ADC value on the volume scale 0..65535
};

// Whether a line is one the box sends: the digits of a reading of channel 0..5, with at most
// the carriage return a terminal program may leave after them.
bool IsReading(const char* line);

// The level of an adc value (0..READING_ADC_TOP) on the volume scale 0..VOLUME_SCALE_TOP,
// rounded down: a knob turned fully up is full volume, never more.
constexpr DWORD VolumeOfAdc(uint16_t adc) {
  return DWORD{adc} * VOLUME_SCALE_TOP / READING_ADC_TOP;
}

// Decodes a line of text the way atoi reads it (leading whitespace, sign, digits, the rest
// ignored, no digits read as 0); a number too large for an int gives an invalid channel.
Reading DecodeReading(const char* line);

// The pause after every connection attempt, 2000 ms in the program. Tests replace it to run
// the real loop quickly, and end the loop by returning false; the program never does.
extern bool (*connectPause)(DWORD milliseconds);

// Where the state lines go: platform::TellState in the program, a recorder in tests.
extern void (*tellState)(const char* line);

// Whether the sound server answers now; null where the mixer is always there (Windows).
extern bool (*soundServerThere)();

// How long after the pause that follows opening the port the box may stay silent before that
// is told: it reports every knob when a program opens its port. 5000 ms in the program.
extern DWORD boxSilenceMs;

// Shows the Windows usage box, titled "Help", that names COM ports.
void ShowUsageBox();

// The whole program: reads the arguments, waits for the sound server, opens the lines, then
// connects, reads and reconnects forever, telling each change of state. Calls showUsage when no
// line number is given; an entry point whose ports are named otherwise brings its own. Returns
// only the exit status 1 when there is no port argument.
int RunKnobvane(const ArgumentList& arguments, void (*showUsage)() = ShowUsageBox);

#endif  // KNOBVANE_CONTROLLER_KNOBVANE_H
