// The box's sampling and sending rules, apart from the board: given each knob's conversions,
// its mute button and the serial port's state once a tick, decides which knob sends which
// reading, as the line Knobvane reads (reading_format.h). Plain C++ with integers only and no
// Arduino types, so the sketch on the board and the host's unit tests run the very same code.
#ifndef KNOBVANE_FIRMWARE_KNOB_BOX_H
#define KNOBVANE_FIRMWARE_KNOB_BOX_H

#include <stdint.h>

#include "reading_format.h"

constexpr uint8_t MAX_KNOBS = READING_KNOBS;   // ADC inputs, as Knobvane has six channels
constexpr uint16_t ADC_TOP = READING_ADC_TOP;  // a 10-bit conversion

// The tunables; the sketch sets them at its top, the tests choose their own.
struct KnobBoxSettings {
  uint8_t knobCount;       // knobs wired, 1..MAX_KNOBS, on the first inputs
  uint8_t samplesPerTick;  // conversions summed per knob and tick, 1..64
  uint8_t smoothingShift;  // each tick moves 1/2^shift of the way to the new average
  uint8_t followCounts;    // a move at least this big is followed at once
  uint8_t endCounts;       // readings this close to 0 or 1023 are the end itself
  uint8_t deadbandCounts;  // how far a reading must move from the one sent
  uint16_t refreshTicks;   // ticks between two refresh lines; 0: no refresh
  uint8_t debounceTicks;   // ticks a button must keep a new level before it counts, 1..
};

class KnobBox {
 public:
  explicit KnobBox(const KnobBoxSettings& settings) : settings_(settings) {
    if (settings_.knobCount < 1) settings_.knobCount = 1;
    if (settings_.knobCount > MAX_KNOBS) settings_.knobCount = MAX_KNOBS;
    if (settings_.samplesPerTick < 1) settings_.samplesPerTick = 1;
    if (settings_.samplesPerTick > 64) settings_.samplesPerTick = 64;
    if (settings_.debounceTicks < 1) settings_.debounceTicks = 1;
  }

  uint8_t KnobCount() const { return settings_.knobCount; }

  // A tick, in the order the board samples: StartTick with the buttons (bit k: knob k's
  // button reads pressed now) and whether a program has the serial port open (DTR is high),
  // then KnobSampled for each wired knob in turn, knob 0 first. A knob's line can go as soon
  // as its own conversions are in, rather than after all six knobs' (3 ms on the ATmega).
  void StartTick(uint8_t buttonsDown, bool portOpen) {
    // Every knob reports when a program opens the port, so that it learns where the knobs
    // are. An Uno, Nano or Mega restarts then (DTR resets the chip), so their first tick is
    // that moment; a native-USB board does not restart and sees DTR rise instead. Moves made
    // while no program had the port are not sent: the report brings their newest values.
    report_ = portOpen && (firstTick_ || !portWasOpen_);
    portWasOpen_ = portOpen;
    buttonsDown_ = buttonsDown;
    sampled_ = 0;
    // A slow refresh, one knob at a time, for a controller that connected without the box
    // noticing (a second start of Knobvane while the port stayed open somewhere). Off by
    // default: with the report at connect nothing needs it, and a box that keeps sending
    // keeps the computer from going to sleep. The report at reset counts as the first.
    if (!firstTick_ && settings_.refreshTicks > 0 &&
        ++ticksSinceRefresh_ >= settings_.refreshTicks) {
      ticksSinceRefresh_ = 0;
      pending_[refreshKnob_] = true;
      refreshKnob_ = static_cast<uint8_t>((refreshKnob_ + 1) % settings_.knobCount);
    }
    firstTick_ = false;
  }

  // A knob's sum of samplesPerTick conversions (each 0..1023) this tick; marks it when it has
  // a line to send. Knobs outside the wired ones are ignored.
  void KnobSampled(uint8_t knob, uint16_t conversionSum) {
    if (knob >= settings_.knobCount) return;
    bool seeded = seeded_[knob];
    uint16_t adc = Smooth(knob, conversionSum);
    seeded_[knob] = true;
    if (knob + 1 > sampled_) sampled_ = static_cast<uint8_t>(knob + 1);
    // A mute button: one press silences the knob's line (0, after which Knobvane gives the
    // line its balance back), the next brings the knob back; turns in between send nothing.
    bool toggled = Pressed(knob, (buttonsDown_ >> knob) & 1);
    if (toggled) muted_[knob] = !muted_[knob];
    if (report_ || (toggled && !muted_[knob])) {
      // Unmuting sends where the knob is now, however far it was turned while silent.
      sent_[knob] = adc;
      pending_[knob] = true;
    } else if (toggled) {
      pending_[knob] = true;
    } else if (seeded && !muted_[knob] && Moved(knob, adc)) {
      sent_[knob] = adc;
      pending_[knob] = true;
    }
  }

  // Takes the next knob's line if it fits into `room` bytes (what the serial line's transmit
  // buffer takes without waiting), writes it to `line` (READING_LINE_BYTES) and returns its
  // length; 0 when no knob sampled this tick waits, the next one does not fit, or no program
  // has the port. A knob that does not fit stays pending and then sends its newest reading:
  // the box never waits on the serial line, so a slow or absent reader cannot stall the
  // sampling. Each knob has at most one line a tick; a muted knob's line is 0, silence.
  uint8_t TakeLine(char* line, uint16_t room) {
    if (!portWasOpen_) return 0;
    for (uint8_t knob = 0; knob < sampled_; ++knob) {
      if (!pending_[knob]) continue;
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

  // Averages the tick's conversions and smooths them, in 1/16 counts so that small steps
  // are not lost to rounding; returns the knob's reading, snapped to the ends.
  uint16_t Smooth(uint8_t knob, uint16_t conversionSum) {
    int32_t target = static_cast<int32_t>(
        (uint32_t{conversionSum} * 16 + settings_.samplesPerTick / 2) / settings_.samplesPerTick);
    int32_t step = target - smoothed_[knob];
    // Seeded from the first reading and a big move followed at once: the volume must not
    // ramp up from 0 after a reset, nor trail behind a knob turned briskly. Smoothing is
    // for the small jitter of a resting knob.
    if (!seeded_[knob] || step >= settings_.followCounts * 16 ||
        -step >= settings_.followCounts * 16) {
      smoothed_[knob] = target;
    } else {
      // Shifts where a division by a power of 2 would do, rounding toward 0 all the same: the
      // chip's 32-bit division takes hundreds of cycles, and the line waits for it.
      uint8_t shift = settings_.smoothingShift;
      smoothed_[knob] += step >= 0 ? step >> shift : -((-step) >> shift);
    }
    int32_t adc = (smoothed_[knob] + 8) >> 4;  // never negative: a mean of readings
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
    int32_t from = sent;
    int8_t lastMove = lastMove_[knob];
    if (sent == 0) {
      from = settings_.endCounts;
      lastMove = -1;
    } else if (sent == ADC_TOP) {
      from = ADC_TOP - settings_.endCounts;
      lastMove = 1;
    }
    int32_t band = settings_.deadbandCounts * (lastMove == -direction ? 2 : 1);
    int32_t distance = adc > from ? adc - from : from - adc;
    if (distance < band) return false;
    lastMove_[knob] = direction;
    return true;
  }

  KnobBoxSettings settings_;
  bool firstTick_ = true;
  bool report_ = false;      // this tick brings every knob's report
  uint8_t buttonsDown_ = 0;  // this tick's buttons
  uint8_t sampled_ = 0;      // knobs sampled so far this tick
  bool seeded_[MAX_KNOBS] = {};
  int32_t smoothed_[MAX_KNOBS] = {};  // in 1/16 counts
  uint16_t sent_[MAX_KNOBS] = {};     // the reading last decided on, sent or pending
  bool pending_[MAX_KNOBS] = {};
  int8_t lastMove_[MAX_KNOBS] = {};  // -1 down, 1 up, 0 none since reset
  bool muted_[MAX_KNOBS] = {};
  bool buttonDown_[MAX_KNOBS] = {};      // each button's level once it held
  uint8_t buttonTicks_[MAX_KNOBS] = {};  // ticks the button has read otherwise
  bool portWasOpen_ = false;
  uint16_t ticksSinceRefresh_ = 0;
  uint8_t refreshKnob_ = 0;
};

#endif
