// The box's sampling and sending rules, apart from the board: given each knob's conversions as
// they are made, its mute button and the serial port's state once a tick, decides which knob
// sends which reading, as the line Knobvane reads (reading_format.h). Plain C++ with integers
// only and no Arduino types, so the sketch on the board and the host's unit tests run the very
// same code.
#ifndef KNOBVANE_FIRMWARE_KNOB_BOX_H
#define KNOBVANE_FIRMWARE_KNOB_BOX_H

#include <stdint.h>

#include "reading_format.h"

constexpr uint8_t MAX_KNOBS = READING_KNOBS;   // ADC inputs, as Knobvane has six channels
constexpr uint16_t ADC_TOP = READING_ADC_TOP;  // a 10-bit conversion

// The tunables; the sketch sets them at its top, the tests choose their own.
struct KnobBoxSettings {
  uint8_t knobCount;       // knobs wired, 1..MAX_KNOBS, on the first inputs
  uint8_t smoothingShift;  // each sample moves 1/2^shift of the way to its conversions' mean
  uint8_t followCounts;    // a move at least this big is followed at once
  uint8_t endCounts;       // readings this close to 0 or 1023 are the end itself
  uint8_t deadbandCounts;  // how far a reading must move from the one sent
  uint16_t lineGapUs;      // least time between two lines of one knob
  uint16_t refreshTicks;   // ticks between two refresh lines; 0: no refresh
  uint8_t debounceTicks;   // ticks a button must keep a new level before it counts, 1..
};

class KnobBox {
 public:
  explicit KnobBox(const KnobBoxSettings& settings) : settings_(settings) {
    if (settings_.knobCount < 1) settings_.knobCount = 1;
    if (settings_.knobCount > MAX_KNOBS) settings_.knobCount = MAX_KNOBS;
    if (settings_.debounceTicks < 1) settings_.debounceTicks = 1;
  }

  uint8_t KnobCount() const { return settings_.knobCount; }

  // A knob's conversions, as soon as they are made: their sum and count (1..64, each 0..1023)
  // and the time in microseconds (a free-running clock that may wrap); marks the knob when it
  // has a line to send. The board samples its knobs in turn without pause, so that a move is
  // seen within one round of them rather than at the next tick. Knobs outside the wired ones
  // and sums without conversions are ignored.
  void KnobSampled(uint8_t knob, uint16_t conversionSum, uint8_t conversions, uint32_t nowUs) {
    if (knob >= settings_.knobCount || conversions < 1 || conversions > 64) return;
    const bool seeded = seeded_[knob];
    Smooth(knob, conversionSum, conversions);
    seeded_[knob] = true;
    const uint16_t adc = Reading(knob);
    // The first conversions only seed the knob; a report asked for before them takes them.
    if (!seeded) {
      if (pending_[knob]) sent_[knob] = adc;
      return;
    }
    if (muted_[knob]) return;
    // A knob keeps at least lineGapUs between its lines, so that six knobs turning stay well
    // within what the serial line carries. Within the gap nothing is decided: the first
    // sample after it compares the knob's newest reading with the one last sent. A line still
    // waiting for room in the transmit buffer takes the newest reading instead.
    if (!pending_[knob] && InGap(knob, nowUs)) return;
    if (Moved(knob, adc)) {
      sent_[knob] = adc;
      MarkLine(knob, nowUs);
    }
  }

  // Once a tick: the buttons (bit k: knob k's button reads pressed now), whether a program
  // has the serial port open (DTR is high), and the time as KnobSampled has it. The buttons'
  // debouncing and the refresh count in ticks. A press, the report and the refresh send at
  // once, whatever the gap (a press counts once in 20 ms at most), and start a gap of their own.
  void StartTick(uint8_t buttonsDown, bool portOpen, uint32_t nowUs) {
    // Every knob reports when a program opens the port, so that it learns where the knobs
    // are. An Uno, Nano or Mega restarts then (DTR resets the chip), so their first tick is
    // that moment; a native-USB board does not restart and sees DTR rise instead. Moves made
    // while no program had the port are not sent: the report brings their newest values.
    const bool report = portOpen && (firstTick_ || !portWasOpen_);
    portWasOpen_ = portOpen;
    for (uint8_t knob = 0; knob < settings_.knobCount; ++knob) {
      // A gap long over is forgotten, so that a clock that wrapped cannot revive it.
      if (recentLine_[knob] && !InGap(knob, nowUs)) recentLine_[knob] = false;
      // A mute button: one press silences the knob's line (0, after which Knobvane gives the
      // line its balance back), the next brings the knob back; turns in between send nothing.
      const bool toggled = Pressed(knob, (buttonsDown >> knob) & 1);
      if (toggled) muted_[knob] = !muted_[knob];
      // Unmuting sends where the knob is now, however far it was turned while silent.
      if (report || (toggled && !muted_[knob])) sent_[knob] = Reading(knob);
      if (report || toggled) MarkLine(knob, nowUs);
    }
    // A slow refresh, one knob at a time, for a controller that connected without the box
    // noticing (a second start of Knobvane while the port stayed open somewhere). Off by
    // default: with the report at connect nothing needs it, and a box that keeps sending
    // keeps the computer from going to sleep. The report at reset counts as the first.
    if (!firstTick_ && settings_.refreshTicks > 0 &&
        ++ticksSinceRefresh_ >= settings_.refreshTicks) {
      ticksSinceRefresh_ = 0;
      MarkLine(refreshKnob_, nowUs);
      refreshKnob_ = static_cast<uint8_t>((refreshKnob_ + 1) % settings_.knobCount);
    }
    firstTick_ = false;
  }

  // Takes the next knob's line if it fits into `room` bytes (what the serial line's transmit
  // buffer takes without waiting), writes it to `line` (READING_LINE_BYTES) and returns its
  // length; 0 when no knob waits, the next one does not fit, or no program has the port. A
  // knob that does not fit stays pending and then sends its newest reading: the box never
  // waits on the serial line, so a slow or absent reader cannot stall the sampling. A muted
  // knob's line is 0, silence; a knob not sampled yet sends nothing until it is.
  uint8_t TakeLine(char* line, uint16_t room) {
    if (!portWasOpen_) return 0;
    for (uint8_t knob = 0; knob < settings_.knobCount; ++knob) {
      if (!pending_[knob] || !seeded_[knob]) continue;
      char text[READING_LINE_BYTES];
      uint8_t length = FormatReadingLine(knob, muted_[knob] ? 0 : sent_[knob], text);
      if (length > room) return 0;
      for (uint8_t i = 0; i < length; ++i) line[i] = text[i];
      pending_[knob] = false;
      return length;
    }
    return 0;
  }

 private:
  void MarkLine(uint8_t knob, uint32_t nowUs) {
    pending_[knob] = true;
    recentLine_[knob] = true;
    lastLineUs_[knob] = nowUs;
  }

  bool InGap(uint8_t knob, uint32_t nowUs) const {
    return recentLine_[knob] && nowUs - lastLineUs_[knob] < settings_.lineGapUs;
  }

  // Whether the knob's button was pressed just now: a button's contacts bounce for a few
  // milliseconds when they close and open, and each bounce must not toggle the knob again, so
  // a level counts once it has held for debounceTicks ticks in a row.
  bool Pressed(uint8_t knob, bool down) {
    if (down == buttonDown_[knob]) {
      buttonTicks_[knob] = 0;
      return false;
    }
    if (++buttonTicks_[knob] < settings_.debounceTicks) return false;
    buttonTicks_[knob] = 0;
    buttonDown_[knob] = down;
    return down;
  }

  // Averages a sample's conversions into the knob's smoothed value, in 1/16 counts so that
  // small steps are not lost to rounding; 16-bit arithmetic, as 1023 * 16 fits it and the
  // chip's 32-bit operations take several times as long, while the line waits for them.
  void Smooth(uint8_t knob, uint16_t conversionSum, uint8_t conversions) {
    // A single conversion, the usual sample, needs no division (hundreds of cycles).
    const int16_t target =
        conversions == 1
            ? static_cast<int16_t>(conversionSum * 16)
            : static_cast<int16_t>((uint32_t{conversionSum} * 16 + conversions / 2) / conversions);
    const int16_t step = static_cast<int16_t>(target - smoothed_[knob]);
    const int16_t follow = static_cast<int16_t>(settings_.followCounts * 16);
    // Seeded from the first conversions and a big move followed at once: the volume must not
    // ramp up from 0 after a reset, nor trail behind a knob turned briskly. Smoothing is for
    // the small jitter of a resting knob.
    if (!seeded_[knob] || step >= follow || -step >= follow) {
      smoothed_[knob] = target;
    } else {
      // Shifts where a division by a power of 2 would do, rounding toward 0 all the same.
      const uint8_t shift = settings_.smoothingShift;
      smoothed_[knob] =
          static_cast<int16_t>(smoothed_[knob] + (step >= 0 ? step >> shift : -((-step) >> shift)));
    }
  }

  // The knob's reading now, snapped to the ends.
  uint16_t Reading(uint8_t knob) const {
    // Never negative: a mean of conversions.
    const uint16_t adc = static_cast<uint16_t>(static_cast<uint16_t>(smoothed_[knob] + 8) >> 4);
    // A potentiometer rarely reads exactly 0 or 1023 at its stops, yet a knob turned fully
    // down must mean silence and fully up the full volume.
    if (adc <= settings_.endCounts) return 0;
    if (adc >= ADC_TOP - settings_.endCounts) return ADC_TOP;
    return static_cast<uint16_t>(adc);
  }

  // Whether a reading is a move worth a line, and which way it went. The deadband is a
  // hysteresis around the value last sent, twice as wide against the knob's last move: a
  // knob that comes to rest between two values may send one more line on its way, but its
  // ADC noise then cannot toggle it back and forth. An end is always sent when it is
  // reached, however slowly the knob crept there, and counts as reached from inside, so that
  // leaving it is a turn back, measured from the edge of its snap zone.
  bool Moved(uint8_t knob, uint16_t adc) {
    uint16_t sent = sent_[knob];
    if (adc == sent) return false;
    int8_t direction = adc > sent ? 1 : -1;
    if (adc == 0 || adc == ADC_TOP) {
      lastMove_[knob] = direction;
      return true;
    }
    int16_t from = static_cast<int16_t>(sent);
    int8_t lastMove = lastMove_[knob];
    if (sent == 0) {
      from = settings_.endCounts;
      lastMove = -1;
    } else if (sent == ADC_TOP) {
      from = ADC_TOP - settings_.endCounts;
      lastMove = 1;
    }
    int16_t band =
        static_cast<int16_t>(settings_.deadbandCounts * (lastMove == -direction ? 2 : 1));
    const int16_t to = static_cast<int16_t>(adc);
    int16_t distance = static_cast<int16_t>(to > from ? to - from : from - to);
    if (distance < band) return false;
    lastMove_[knob] = direction;
    return true;
  }

  KnobBoxSettings settings_;
  bool firstTick_ = true;
  bool seeded_[MAX_KNOBS] = {};
  int16_t smoothed_[MAX_KNOBS] = {};  // in 1/16 counts
  uint16_t sent_[MAX_KNOBS] = {};     // the reading last decided on, sent or pending
  bool pending_[MAX_KNOBS] = {};
  bool recentLine_[MAX_KNOBS] = {};      // lastLineUs_ may still hold the knob back
  uint32_t lastLineUs_[MAX_KNOBS] = {};  // when its last line was decided
  int8_t lastMove_[MAX_KNOBS] = {};      // -1 down, 1 up, 0 none since reset
  bool muted_[MAX_KNOBS] = {};
  bool buttonDown_[MAX_KNOBS] = {};      // each button's level once it held
  uint8_t buttonTicks_[MAX_KNOBS] = {};  // ticks the button has read otherwise
  bool portWasOpen_ = false;
  uint16_t ticksSinceRefresh_ = 0;
  uint8_t refreshKnob_ = 0;
};

#endif
