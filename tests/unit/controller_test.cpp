#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "controller/knobvane.h"

namespace {

TEST(Reading, DecodesLikeAtoiIntoChannelAndVolume) {
  const int32_t INVALID = INT32_MIN;
  struct Row {
    const char* line;
    int32_t channel;
    DWORD volume;
  } rows[] = {
      {"0", 0, 0},
      {"1023", 0, 65535},
      {"1365", 1, 21845},
      {"2560", 2, 32799},
      {"5119", 4, 65535},
      {"6143", 5, 65535},
      {"6144", 6, 0},  // past the sixth channel: the caller drops it
      {"1023\r", 0, 65535},
      {"  +2560 volts", 2, 32799},
      {"\t512", 0, 32799},
      {"", 0, 0},  // no digits read as 0: channel 0 to silence
      {"knob", 0, 0},
      {"-1", -1, 65535},  // rounds down to channel -1, which does not exist
      {"-1024", -1, 0},
      {"-2147483648", -2097152, 0},
      {"2147483647", 2097151, 65535},
      {"2147483648", INVALID, 0},  // too large for an int
      {"99999999999999999999999", INVALID, 0},
      {"-99999999999999999999999", INVALID, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("line \"") + row.line + "\"");
    const Reading reading = DecodeReading(row.line);
    EXPECT_EQ(reading.channel, row.channel);
    if (reading.channel != INVALID) {
      EXPECT_EQ(reading.volume, row.volume);
    }
  }
}

TEST(Reading, EveryAdcValueMapsOntoTheVolumeScaleByFlooring) {
  for (int adc = 0; adc < 1024; ++adc) {
    const Reading reading = DecodeReading(std::to_string(3 * 1024 + adc).c_str());
    ASSERT_EQ(reading.channel, 3);
    ASSERT_EQ(reading.volume, static_cast<DWORD>(adc * 65535.0 / 1023.0)) << adc;
  }
}

TEST(LineArgument, TakesTheLeadingNumberOrNoLine) {
  struct Row {
    const char* text;
    int32_t line;
  } rows[] = {
      {"3", 3},
      {"3abc", 3},
      {" 7", 7},
      {"+2", 2},
      {"x", NO_LINE},
      {"", NO_LINE},
      {"-1", NO_LINE},
      {"-", NO_LINE},
      {"0", 0},
      {"99999999999", INT32_MAX},  // as wide as Windows' long, no wider
      {"-99999999999", INT32_MIN},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ParseLineArgument(row.text), row.line) << '"' << row.text << '"';
  }
}

}  // namespace
