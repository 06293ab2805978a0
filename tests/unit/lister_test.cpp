#include <string>

#include <gtest/gtest.h>

#include "lister/lister.h"
#include "platform/sim/sim_mixer.h"

namespace {
bool unendedNames = false;
}  // namespace

// Every device record of the walk passes here (the tests link with
// --wrap=mixerGetDevCapsA): the simulated mixer always ends its names, a driver need not.
extern "C" MMRESULT __real_mixerGetDevCapsA(UINT_PTR device, LPMIXERCAPSA caps, UINT size);
extern "C" MMRESULT __wrap_mixerGetDevCapsA(UINT_PTR device, LPMIXERCAPSA caps, UINT size) {
  const MMRESULT result = __real_mixerGetDevCapsA(device, caps, size);
  if (unendedNames && result == MMSYSERR_NOERROR) {
    caps->szPname[MAXPNAMELEN - 1] = 'x';
    caps->fdwSupport = 0x79797979;  // "yyyy"
  }
  return result;
}

namespace {

std::string ListedOutput(int* exitCode) {
  testing::internal::CaptureStdout();
  *exitCode = ListSoundLines();
  return testing::internal::GetCapturedStdout();
}

TEST(Linescout, PrintsTheNumberedTreeByteForByte) {
  sim::Install(sim::Topology()
                   .Device("Realtek HD Audio")
                   .Destination("Speakers")
                   .Source("Wave")
                   .Source("CD Audio")
                   .Destination("Recording Control")
                   .Device("USB Headset")
                   .Device("Null Output")
                   .Destination("Master Volume")
                   .Source("Music Player"));
  int exitCode = -1;
  EXPECT_EQ(ListedOutput(&exitCode),
            "Linescout - part of Knobvane.\n"
            "Your sound lines:\n"
            "   0 Realtek HD Audio\n"
            "   1   Speakers\n"
            "   2     Wave\n"
            "   3     CD Audio\n"
            "   4   Recording Control\n"
            "   5 USB Headset\n"
            "   6 Null Output\n"
            "   7   Master Volume\n"
            "   8     Music Player\n");
  EXPECT_EQ(exitCode, 0);
}

TEST(Linescout, PrintsOnlyTheBannerWithoutDevices) {
  sim::Install(sim::Topology());
  int exitCode = -1;
  EXPECT_EQ(ListedOutput(&exitCode), "Linescout - part of Knobvane.\nYour sound lines:\n");
  EXPECT_EQ(exitCode, 0);
}

TEST(Linescout, NumbersFromZeroOnEveryRun) {
  sim::Install(sim::Topology().Device("Card"));
  int exitCode = -1;
  ListedOutput(&exitCode);
  EXPECT_EQ(ListedOutput(&exitCode),
            "Linescout - part of Knobvane.\nYour sound lines:\n   0 Card\n");
}

TEST(Linescout, PrintsNoMoreThanANameFieldWithoutItsEnd) {
  // A driver's name fills its whole field, unended, and the next field is not 0.
  sim::Install(sim::Topology().Device(std::string(40, 'x')));
  unendedNames = true;
  int exitCode = -1;
  const std::string listed = ListedOutput(&exitCode);
  unendedNames = false;
  EXPECT_EQ(listed, "Linescout - part of Knobvane.\nYour sound lines:\n   0 " +
                        std::string(MAXPNAMELEN, 'x') + "\n");
}

}  // namespace
