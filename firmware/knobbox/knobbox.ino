// Knobbox: the firmware of Knobvane's ADC box, for an Arduino Uno or Nano (ATmega328P).
// Up to six potentiometers on A0..A5; each move is sent as one line of decimal text,
// knob * 1024 + adc and a line feed, at 115200 baud 8N1. The rules of what to send and when
// live in knob_box.h; this sketch only samples the inputs and writes the serial line.
#include "knob_box.h"

// ---- Settings -------------------------------------------------------------------------------

constexpr uint8_t KNOB_COUNT = 6;        // knobs wired to A0, A1, ... (1 to 6)
constexpr uint16_t TICK_MS = 10;         // every knob is sampled once a tick
constexpr uint8_t SAMPLES_PER_TICK = 4;  // conversions averaged per knob and tick
constexpr uint8_t SMOOTHING_SHIFT = 1;   // each tick goes half the way to the new average
constexpr uint8_t FOLLOW_COUNTS = 16;    // a move this big skips the smoothing
constexpr uint8_t END_COUNTS = 5;        // within this of 0 or 1023 reads as the end
constexpr uint8_t DEADBAND_COUNTS = 3;   // smaller moves send nothing
constexpr uint16_t REFRESH_MS = 1000;    // then one knob is sent again, in turn; 0: never

static_assert(KNOB_COUNT >= 1 && KNOB_COUNT <= MAX_KNOBS, "the box has 1 to 6 knobs");
static_assert(REFRESH_MS % TICK_MS == 0, "the refresh comes on a tick");

// ---- The box --------------------------------------------------------------------------------

static const uint8_t knobPins[MAX_KNOBS] = {A0, A1, A2, A3, A4, A5};

static KnobBox box({KNOB_COUNT, SAMPLES_PER_TICK, SMOOTHING_SHIFT, FOLLOW_COUNTS, END_COUNTS,
                    DEADBAND_COUNTS, REFRESH_MS / TICK_MS});

static unsigned long tickStartMs;

// The input multiplexer switches to the knob, then the sample-and-hold needs a conversion to
// settle: the first one after switching still carries the previous knob's voltage, which
// would show as crosstalk between knobs, so it is thrown away.
static uint16_t SampleKnob(uint8_t knob) {
  analogRead(knobPins[knob]);
  uint16_t sum = 0;
  for (uint8_t i = 0; i < SAMPLES_PER_TICK; ++i) sum += analogRead(knobPins[knob]);
  return sum;
}

static void RunTick() {
  uint16_t conversionSums[KNOB_COUNT];
  for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob) conversionSums[knob] = SampleKnob(knob);
  box.Tick(conversionSums);
  // Only what fits the transmit buffer now: a full buffer leaves the knob pending instead of
  // blocking the next tick's sampling.
  char line[READING_LINE_BYTES];
  uint8_t length;
  while ((length = box.TakeLine(line, Serial.availableForWrite())) > 0) {
    Serial.write(line, length);
  }
}

void setup() {
  Serial.begin(READING_BAUD);
  tickStartMs = millis();
  RunTick();  // the report of every knob, at once
}

void loop() {
  if (millis() - tickStartMs < TICK_MS) return;
  tickStartMs += TICK_MS;
  RunTick();
}
