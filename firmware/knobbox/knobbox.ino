// Knobbox: the firmware of Knobvane's ADC box, for an Arduino Uno or Nano (ATmega328P), a Mega
// 2560 (ATmega2560), or a Leonardo, Micro or Pro Micro (ATmega32U4, native USB). Up to six
// potentiometers, each with a mute button; each move is sent as one line of decimal text,
// knob * 1024 + adc and a line feed, at 115200 baud 8N1. The rules of what to send and when
// live in knob_box.h; this sketch only samples the inputs and writes the serial line.
#include "box_pins.h"
#include "knob_box.h"

// ---- Settings -------------------------------------------------------------------------------

constexpr uint8_t KNOB_COUNT = 6;        // knobs wired, on the first of PINS (1 to 6)
constexpr uint16_t TICK_MS = 4;          // every knob and button sampled once a tick (>= 3.2 ms)
constexpr uint8_t SAMPLES_PER_TICK = 4;  // conversions averaged per knob and tick
constexpr uint8_t SMOOTHING_SHIFT = 1;   // each tick goes half the way to the new average
constexpr uint8_t FOLLOW_COUNTS = 16;    // a move this big skips the smoothing
constexpr uint8_t END_COUNTS = 5;        // within this of 0 or 1023 reads as the end
constexpr uint8_t DEADBAND_COUNTS = 3;   // smaller moves send nothing
constexpr uint16_t REFRESH_MS = 0;       // 0: silent at rest; else one knob again, in turn
constexpr bool MUTE_BUTTONS = true;      // false: the button pins are left alone
constexpr uint8_t DEBOUNCE_MS = 20;      // a button's new level counts once it held this long

// The inputs, knob 0 first, from the table box-sim also reads (box_pins.h). A button goes
// from its pin to GND; the pin's pull-up reads a pin without one as released.
#if defined(__AVR_ATmega32U4__)
static const BoxPins& PINS = ATMEGA32U4_PINS;
#elif defined(__AVR_ATmega2560__)
static const BoxPins& PINS = ATMEGA2560_PINS;
#else
static const BoxPins& PINS = ATMEGA328P_PINS;
#endif

// One conversion as analogRead makes it at 16 MHz (the core's 125 kHz ADC clock), measured in
// the simulator: a tick must outlast its conversions.
constexpr uint16_t CONVERSION_US = 107;
// A button's level counts when the first and the last tick that read it are DEBOUNCE_MS apart.
constexpr uint8_t DEBOUNCE_TICKS = DEBOUNCE_MS / TICK_MS + 1;

static_assert(KNOB_COUNT >= 1 && KNOB_COUNT <= MAX_KNOBS, "the box has 1 to 6 knobs");
static_assert(REFRESH_MS % TICK_MS == 0, "the refresh comes on a tick");
static_assert(uint32_t{KNOB_COUNT} * (SAMPLES_PER_TICK + 1) * CONVERSION_US <
                  uint32_t{TICK_MS} * 1000,
              "a tick's conversions take longer than the tick");

// ---- The box --------------------------------------------------------------------------------

static KnobBox box({KNOB_COUNT, SAMPLES_PER_TICK, SMOOTHING_SHIFT, FOLLOW_COUNTS, END_COUNTS,
                    DEADBAND_COUNTS, REFRESH_MS / TICK_MS, DEBOUNCE_TICKS});

static unsigned long tickStartMs;

// The input multiplexer switches to the knob, then the sample-and-hold needs a conversion to
// settle: the first one after switching still carries the previous knob's voltage, which
// would show as crosstalk between knobs, so it is thrown away.
static uint16_t SampleKnob(uint8_t knob) {
  const uint8_t input = static_cast<uint8_t>(A0 + PINS.knobs[knob].analogInput);
  analogRead(input);
  uint16_t sum = 0;
  for (uint8_t i = 0; i < SAMPLES_PER_TICK; ++i) sum += analogRead(input);
  return sum;
}

static uint8_t ButtonsDown() {
  uint8_t down = 0;
  if (!MUTE_BUTTONS) return down;
  for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob) {
    if (digitalRead(PINS.buttons[knob].digitalPin) == LOW) down |= static_cast<uint8_t>(1u << knob);
  }
  return down;
}

// Whether a program has the port open. A native-USB board keeps the line state the host
// sets, DTR among it (dtr(), not the bool operator, which waits 10 ms). The others talk
// through a USB-serial chip that restarts them when DTR rises: running, they were opened.
static bool PortOpen() {
#if defined(USBCON)
  return Serial.dtr();
#else
  return true;
#endif
}

// Only what fits the transmit buffer now: a full buffer leaves the knob pending instead of
// blocking the sampling.
static void SendLines() {
  char line[READING_LINE_BYTES];
  uint8_t length;
  while ((length = box.TakeLine(line, Serial.availableForWrite())) > 0) {
    Serial.write(line, length);
  }
}

// Each knob's line leaves as soon as its conversions are in, while the next knob's are made.
static void RunTick() {
  box.StartTick(ButtonsDown(), PortOpen());
  for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob) {
    box.KnobSampled(knob, SampleKnob(knob));
    SendLines();
  }
}

void setup() {
  Serial.begin(READING_BAUD);
  if (MUTE_BUTTONS) {
    for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob)
      pinMode(PINS.buttons[knob].digitalPin, INPUT_PULLUP);
  }
  tickStartMs = millis();
  RunTick();  // an Uno, Nano or Mega was just opened: the report of every knob, at once
}

void loop() {
  unsigned long now = millis();
  if (now - tickStartMs < TICK_MS) return;
  // Behind by a whole tick (never with these settings), the ticks start over from now
  // rather than running back to back to catch up.
  tickStartMs = now - tickStartMs >= 2u * TICK_MS ? now : tickStartMs + TICK_MS;
  RunTick();
}
