// Knobbox: the firmware of Knobvane's ADC box, for an Arduino Uno or Nano (ATmega328P), a Mega
// 2560 (ATmega2560), or a Leonardo, Micro or Pro Micro (ATmega32U4, native USB). Up to six
// potentiometers, each with a mute button; each move is sent as one line of decimal text,
// knob * 1024 + adc and a line feed, at 115200 baud 8N1. The rules of what to send and when
// live in knob_box.h; this sketch only samples the inputs and writes the serial line.
#include "box_pins.h"
#include "knob_box.h"

// ---- Settings -------------------------------------------------------------------------------

constexpr uint8_t KNOB_COUNT = 6;       // knobs wired, on the first of PINS (1 to 6)
constexpr uint8_t SEED_SAMPLES = 16;    // conversions averaged per knob at start
constexpr uint8_t SMOOTHING_SHIFT = 3;  // each sample goes an eighth of the way to its conversion
constexpr uint8_t FOLLOW_COUNTS = 16;   // a move this big skips the smoothing
constexpr uint8_t END_COUNTS = 5;       // within this of 0 or 1023 reads as the end
constexpr uint8_t DEADBAND_COUNTS = 3;  // smaller moves send nothing
constexpr uint16_t LINE_GAP_US = 4096;  // least time between two lines of one knob
constexpr uint16_t TICK_MS = 4;         // the buttons and the port are read once a tick
constexpr uint16_t REFRESH_MS = 0;      // 0: silent at rest; else one knob again, in turn
constexpr bool MUTE_BUTTONS = true;     // false: the button pins are left alone
constexpr uint8_t DEBOUNCE_MS = 20;     // a button's new level counts once it held this long

// The inputs, knob 0 first, from the table box-sim also reads (box_pins.h). A button goes
// from its pin to GND; the pin's pull-up reads a pin without one as released.
#if defined(__AVR_ATmega32U4__)
static const BoxPins& PINS = ATMEGA32U4_PINS;
#elif defined(__AVR_ATmega2560__)
static const BoxPins& PINS = ATMEGA2560_PINS;
#else
static const BoxPins& PINS = ATMEGA328P_PINS;
#endif

// A button's level counts when the first and the last tick that read it are DEBOUNCE_MS apart.
constexpr uint8_t DEBOUNCE_TICKS = DEBOUNCE_MS / TICK_MS + 1;

static_assert(KNOB_COUNT >= 1 && KNOB_COUNT <= MAX_KNOBS, "the box has 1 to 6 knobs");
static_assert(SEED_SAMPLES >= 1 && SEED_SAMPLES <= 64, "a knob's sum holds 1 to 64 conversions");
static_assert(REFRESH_MS % TICK_MS == 0, "the refresh comes on a tick");
// All six knobs turning send at most 1,465 lines a second, under two thirds of what the
// serial line carries.
static_assert(uint32_t{LINE_GAP_US} >= uint32_t{TICK_MS} * 1000,
              "a knob sends once a tick at most");

// ---- The box --------------------------------------------------------------------------------

static KnobBox box({KNOB_COUNT, SMOOTHING_SHIFT, FOLLOW_COUNTS, END_COUNTS, DEADBAND_COUNTS,
                    LINE_GAP_US, REFRESH_MS / TICK_MS, DEBOUNCE_TICKS});

static unsigned long tickStartMs;
static uint8_t nextKnob;

// The ADC converts the knob whose input was selected last, against AVCC (the 5 V the knobs'
// potentiometers are wired to), as analogRead would, without its wait for the multiplexer.
static void SelectKnob(uint8_t knob) {
  const uint8_t channel = PINS.knobs[knob].adcChannel;
#if defined(MUX5)
  ADCSRB = static_cast<uint8_t>((ADCSRB & ~_BV(MUX5)) | (((channel >> 3) & 1) << MUX5));
#endif
  ADMUX = static_cast<uint8_t>(_BV(REFS0) | (channel & 7));
}

static uint16_t Convert() {
  ADCSRA |= _BV(ADSC);
  while (ADCSRA & _BV(ADSC)) {
  }
  return ADC;
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

void setup() {
  Serial.begin(READING_BAUD);
  if (MUTE_BUTTONS) {
    for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob)
      pinMode(PINS.buttons[knob].digitalPin, INPUT_PULLUP);
  }
  // Every knob seeded from many conversions, so that the report starts from where it rests
  // rather than from one noisy conversion; the first after switching inputs is thrown away,
  // as the sample-and-hold has had no time to settle. Then the report, at once on an Uno,
  // Nano or Mega, which were just opened.
  for (uint8_t knob = 0; knob < KNOB_COUNT; ++knob) {
    SelectKnob(knob);
    Convert();
    uint16_t sum = 0;
    for (uint8_t i = 0; i < SEED_SAMPLES; ++i) sum += Convert();
    box.KnobSampled(knob, sum, SEED_SAMPLES, micros());
  }
  SelectKnob(0);
  tickStartMs = millis();
  box.StartTick(ButtonsDown(), PortOpen(), micros());
  SendLines();
}

// One conversion of one knob a pass, the knobs in turn and without pause: a move is seen
// within a round of six conversions and the rules (about 1 ms), and its line leaves as soon
// as it is decided. The next knob's input is selected before the rules run, so that the
// sample-and-hold settles on it meanwhile: a conversion right after switching would still
// carry the previous knob's voltage, and show as crosstalk between knobs.
void loop() {
  const uint8_t knob = nextKnob;
  const uint16_t conversion = Convert();
  nextKnob = static_cast<uint8_t>((knob + 1) % KNOB_COUNT);
  SelectKnob(nextKnob);
  const unsigned long now = millis();
  if (now - tickStartMs >= TICK_MS) {
    // Behind by a whole tick, the ticks start over from now rather than running back to back
    // to catch up.
    tickStartMs = now - tickStartMs >= 2u * TICK_MS ? now : tickStartMs + TICK_MS;
    box.StartTick(ButtonsDown(), PortOpen(), micros());
  }
  box.KnobSampled(knob, conversion, 1, micros());
  SendLines();
}
