// winmm's rules for bad mixer calls (platform/winmm_rules.h), one typed suite over either
// mixer: the unit tests run it against the simulated mixer, the integration tests against the
// PulseAudio mixer on each server. A World is the mixer a test runs against:
//   static void SetUpTestSuite(), TearDownTestSuite(), SetUp();
//   static constexpr UINT DEVICE, OTHER, LONG_NAMED, DEVICES;
//       DEVICE has a line LINE of two channels with a volume control, OTHER another name, and
//       LONG_NAMED the name LONG_NAME, too long for the caps; DEVICES devices in all
//   static constexpr DWORD LINE;
//   static std::vector<DWORD> Outside();  // LINE's values as another program sees them
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace winmm_rules {

// 20 two-byte characters, 40 bytes: the caps' name field holds 15 of them whole.
inline std::string LongName(int characters = 20) {
  std::string name;
  for (int i = 0; i < characters; ++i) name += "\xC3\xA4";
  return name;
}

inline HMIXEROBJ Object(UINT_PTR value) { return reinterpret_cast<HMIXEROBJ>(value); }
inline HMIXEROBJ Object(HMIXER handle) { return reinterpret_cast<HMIXEROBJ>(handle); }
inline UINT_PTR Passed(HMIXER handle) { return reinterpret_cast<UINT_PTR>(handle); }

// A details record for a control over values, one value a channel.
inline MIXERCONTROLDETAILS DetailsOf(DWORD controlID, std::vector<DWORD>* values) {
  MIXERCONTROLDETAILS details;
  memset(&details, 0, sizeof details);
  details.cbStruct = sizeof details;
  details.dwControlID = controlID;
  details.cChannels = static_cast<DWORD>(values->size());
  details.cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
  details.paDetails = values->data();
  return details;
}

template <typename World>
class WinmmRules : public testing::Test {
 protected:
  static void SetUpTestSuite() { World::SetUpTestSuite(); }
  static void TearDownTestSuite() { World::TearDownTestSuite(); }

  void SetUp() override {
    World::SetUp();
    ASSERT_EQ(mixerOpen(&device, World::DEVICE, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mixerOpen(&other, World::OTHER, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mixerOpen(&closed, World::OTHER, 0, 0, 0), MMSYSERR_NOERROR);
    ASSERT_EQ(mixerClose(closed), MMSYSERR_NOERROR);
    MIXERLINECONTROLSA controls = Controls(World::LINE);
    ASSERT_EQ(mixerGetLineControlsA(Object(device), &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMSYSERR_NOERROR);
    controlID = control.dwControlID;
    maximum = control.Bounds.dwMaximum;
  }
  void TearDown() override {
    mixerClose(device);
    mixerClose(other);
  }

  static MIXERLINEA Line() {
    MIXERLINEA line;
    memset(&line, 0, sizeof line);
    line.cbStruct = sizeof line;
    return line;
  }
  MIXERLINECONTROLSA Controls(DWORD lineID) {
    MIXERLINECONTROLSA controls;
    memset(&controls, 0, sizeof controls);
    controls.cbStruct = sizeof controls;
    controls.dwLineID = lineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    return controls;
  }
  // A details record for the line's control over values.
  MIXERCONTROLDETAILS Details(std::vector<DWORD>* values) const {
    return DetailsOf(controlID, values);
  }
  std::string NameOf(UINT index) const {
    MIXERCAPSA caps;
    EXPECT_EQ(mixerGetDevCapsA(index, &caps, sizeof caps), MMSYSERR_NOERROR);
    return caps.szPname;
  }

  HMIXER device = nullptr, other = nullptr, closed = nullptr;
  MIXERCONTROLA control;
  DWORD controlID = 0, maximum = 0;
};

TYPED_TEST_SUITE_P(WinmmRules);

TYPED_TEST_P(WinmmRules, NamesADeviceByAHandleOrAnIndex) {
  using World = TypeParam;
  const std::string deviceName = this->NameOf(World::DEVICE),
                    otherName = this->NameOf(World::OTHER);
  ASSERT_NE(deviceName, otherName);
  struct Row {
    const char* what;
    UINT_PTR object;
    DWORD flags;
    MMRESULT result;
    const std::string* device;
  } rows[] = {
      {"handle, no type bit", Passed(this->other), 0, MMSYSERR_NOERROR, &otherName},
      {"handle, handle bit", Passed(this->other), MIXER_OBJECTF_HMIXER, MMSYSERR_NOERROR,
       &otherName},
      {"index, no type bit", World::DEVICE, 0, MMSYSERR_NOERROR, &deviceName},
      {"index, handle bit", World::DEVICE, MIXER_OBJECTF_HMIXER, MMSYSERR_INVALHANDLE, nullptr},
      {"closed handle, handle bit", Passed(this->closed), MIXER_OBJECTF_HMIXER,
       MMSYSERR_INVALHANDLE, nullptr},
      // Without the bit a closed handle is an index, and far beyond the last device.
      {"closed handle, no type bit", Passed(this->closed), 0, MMSYSERR_BADDEVICEID, nullptr},
      {"index past the last device", World::DEVICES, 0, MMSYSERR_BADDEVICEID, nullptr},
      {"a wave device's handle", Passed(this->other), 0x90000000u, MMSYSERR_NOTSUPPORTED, nullptr},
      {"another object type", Passed(this->other), 0x10000000u, MMSYSERR_NOTSUPPORTED, nullptr},
  };
  for (const Row& row : rows) {
    MIXERLINEA line = this->Line();
    EXPECT_EQ(mixerGetLineInfoA(Object(row.object), &line, row.flags), row.result) << row.what;
    if (row.device != nullptr) {
      EXPECT_EQ(line.Target.szPname, *row.device) << row.what;
    }
  }
  MIXERCAPSA caps;
  EXPECT_EQ(mixerGetDevCapsA(Passed(this->other), &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.szPname, otherName);
  EXPECT_EQ(mixerGetDevCapsA(World::DEVICES, &caps, sizeof caps), MMSYSERR_BADDEVICEID);

  HMIXER none = nullptr;
  EXPECT_EQ(mixerOpen(&none, World::DEVICES, 0, 0, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(mixerOpen(nullptr, World::DEVICE, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(mixerOpen(&none, World::DEVICE, 0, 0, 0x8u), MMSYSERR_INVALFLAG);
  EXPECT_EQ(mixerOpen(&none, World::DEVICE, 0, 0, CALLBACK_WINDOW), MMSYSERR_INVALPARAM);
  EXPECT_EQ(mixerClose(this->closed), MMSYSERR_INVALHANDLE);
}

// Each call checks its record, then its flags, then its object: a call wrong in all three
// answers for its record, and with a good record for its flags.
TYPED_TEST_P(WinmmRules, ChecksTheRecordThenTheFlagsThenTheObject) {
  const HMIXEROBJ gone = Object(this->closed);
  const DWORD handle = MIXER_OBJECTF_HMIXER;
  EXPECT_EQ(mixerGetDevCapsA(TypeParam::DEVICES, nullptr, sizeof(MIXERCAPSA)), MMSYSERR_INVALPARAM);

  MIXERLINEA line = this->Line();
  EXPECT_EQ(mixerGetLineInfoA(gone, nullptr, handle | 0x100), MMSYSERR_INVALPARAM);
  EXPECT_EQ(mixerGetLineInfoA(gone, &line, handle | 0x100), MMSYSERR_INVALFLAG);
  EXPECT_EQ(mixerGetLineInfoA(gone, &line, handle), MMSYSERR_INVALHANDLE);

  MIXERLINECONTROLSA controls = this->Controls(TypeParam::LINE);
  controls.cControls = 0;
  EXPECT_EQ(mixerGetLineControlsA(gone, &controls, handle | 0x100), MMSYSERR_INVALPARAM);
  controls.cControls = 1;
  EXPECT_EQ(mixerGetLineControlsA(gone, &controls, handle | 0x100), MMSYSERR_INVALFLAG);
  EXPECT_EQ(mixerGetLineControlsA(gone, &controls, handle | MIXER_GETLINECONTROLSF_ONEBYTYPE),
            MMSYSERR_INVALHANDLE);

  std::vector<DWORD> values(2);
  MIXERCONTROLDETAILS details = this->Details(&values);
  for (auto call : {mixerGetControlDetailsA, mixerSetControlDetails}) {
    EXPECT_EQ(call(gone, nullptr, handle | 0x100), MMSYSERR_INVALPARAM);
    EXPECT_EQ(call(gone, &details, handle | 0x100), MMSYSERR_INVALFLAG);
    EXPECT_EQ(call(gone, &details, handle), MMSYSERR_INVALHANDLE);
  }
}

TYPED_TEST_P(WinmmRules, RejectsRecordsThatDoNotFit) {
  const std::vector<DWORD> before = TypeParam::Outside();
  const HMIXEROBJ device = Object(this->device);

  MIXERLINEA line = this->Line();
  for (DWORD size : {DWORD{sizeof line - 1}, DWORD{0}}) {
    line.cbStruct = size;
    EXPECT_EQ(mixerGetLineInfoA(device, &line, 0), MMSYSERR_INVALPARAM) << size;
  }
  EXPECT_EQ(mixerGetLineInfoA(device, nullptr, 0), MMSYSERR_INVALPARAM);
  // A larger record is large enough: it is filled as far as the line's record goes, and says so.
  line.cbStruct = sizeof line + 4;
  EXPECT_EQ(mixerGetLineInfoA(device, &line, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(line.cbStruct, sizeof line);

  const MIXERLINECONTROLSA good = this->Controls(TypeParam::LINE);
  MIXERLINECONTROLSA controls[6] = {good, good, good, good, good, good};
  controls[0].cbStruct -= 1;
  controls[1].cbStruct += 1;
  controls[2].cbmxctrl -= 1;
  controls[3].cControls = 2;
  controls[4].cControls = 0;
  controls[5].pamxctrl = nullptr;
  for (MIXERLINECONTROLSA& wrong : controls) {
    EXPECT_EQ(mixerGetLineControlsA(device, &wrong, MIXER_GETLINECONTROLSF_ONEBYTYPE),
              MMSYSERR_INVALPARAM)
        << &wrong - controls;
  }
  EXPECT_EQ(mixerGetLineControlsA(device, nullptr, MIXER_GETLINECONTROLSF_ONEBYTYPE),
            MMSYSERR_INVALPARAM);

  std::vector<DWORD> values{1000, 1000, 1000};
  MIXERCONTROLDETAILS fit = this->Details(&values);
  fit.cChannels = 2;
  MIXERCONTROLDETAILS details[4] = {fit, fit, fit, fit};
  details[0].cbStruct -= 1;
  details[1].cbDetails = 8;
  details[2].paDetails = nullptr;
  details[3].cChannels = 3;  // the line has two
  for (MIXERCONTROLDETAILS& wrong : details) {
    EXPECT_EQ(mixerGetControlDetailsA(device, &wrong, 0), MMSYSERR_INVALPARAM) << &wrong - details;
    EXPECT_EQ(mixerSetControlDetails(device, &wrong, 0), MMSYSERR_INVALPARAM) << &wrong - details;
  }
  MIXERCONTROLDETAILS larger = fit;
  larger.cbStruct += 4;
  EXPECT_EQ(mixerGetControlDetailsA(device, &larger, 0), MMSYSERR_NOERROR);
  // A value past the maximum rejects the whole write.
  std::vector<DWORD> loud{1000, this->maximum + 1};
  MIXERCONTROLDETAILS past = this->Details(&loud);
  EXPECT_EQ(mixerSetControlDetails(device, &past, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(TypeParam::Outside(), before);

  // The caps go only as far as the size given.
  unsigned char caps[sizeof(MIXERCAPSA)];
  memset(caps, 0xAB, sizeof caps);
  EXPECT_EQ(mixerGetDevCapsA(TypeParam::DEVICE, reinterpret_cast<MIXERCAPSA*>(caps), 4),
            MMSYSERR_NOERROR);
  for (size_t i = 4; i < sizeof caps; ++i) ASSERT_EQ(caps[i], 0xAB) << i;
}

// The queries winmm knows and these mixers do not serve are not supported; a query value
// winmm does not know, or a bit outside the query and the object type, is an invalid flag
// (only the details answer an unknown query as not supported).
TYPED_TEST_P(WinmmRules, AnswersEachQueryAsWinmmDoes) {
  const HMIXEROBJ device = Object(this->device);
  struct Row {
    DWORD flags;
    MMRESULT line, controls, details;
  } rows[] = {
      {0, MMSYSERR_NOERROR, MMSYSERR_NOTSUPPORTED, MMSYSERR_NOERROR},
      {MIXER_OBJECTF_HMIXER | 1, MMSYSERR_NOERROR, MMSYSERR_NOERROR, MMSYSERR_NOTSUPPORTED},
      {2, MMSYSERR_NOERROR, MMSYSERR_NOERROR, MMSYSERR_NOTSUPPORTED},
      {3, MMSYSERR_NOTSUPPORTED, MMSYSERR_INVALFLAG, MMSYSERR_NOTSUPPORTED},
      {4, MMSYSERR_NOTSUPPORTED, MMSYSERR_INVALFLAG, MMSYSERR_NOTSUPPORTED},
      {MIXER_OBJECTF_HMIXER | 15, MMSYSERR_INVALFLAG, MMSYSERR_INVALFLAG, MMSYSERR_NOTSUPPORTED},
      {0x100, MMSYSERR_INVALFLAG, MMSYSERR_INVALFLAG, MMSYSERR_INVALFLAG},
      {MIXER_OBJECTF_HMIXER | 0x00010000, MMSYSERR_INVALFLAG, MMSYSERR_INVALFLAG,
       MMSYSERR_INVALFLAG},
  };
  std::vector<DWORD> values(2);
  MIXERCONTROLDETAILS details = this->Details(&values);
  ASSERT_EQ(mixerGetControlDetailsA(device, &details, 0), MMSYSERR_NOERROR);
  const std::vector<DWORD> before = TypeParam::Outside();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flags);
    MIXERLINEA line = this->Line();
    line.dwLineID = TypeParam::LINE;
    line.dwSource = 1000;
    // A query let through goes on to look for the line, and no source line has that number.
    const MMRESULT lineResult = mixerGetLineInfoA(device, &line, row.flags);
    EXPECT_EQ(lineResult == MIXERR_INVALLINE ? MMSYSERR_NOERROR : lineResult, row.line);
    MIXERLINECONTROLSA controls = this->Controls(TypeParam::LINE);
    if ((row.flags & 0xF) == MIXER_GETLINECONTROLSF_ONEBYID) controls.dwControlID = this->controlID;
    EXPECT_EQ(mixerGetLineControlsA(device, &controls, row.flags), row.controls);
    EXPECT_EQ(mixerGetControlDetailsA(device, &details, row.flags), row.details);
    // Writes back what was read: a write let through changes nothing.
    EXPECT_EQ(mixerSetControlDetails(device, &details, row.flags), row.details);
  }
  EXPECT_EQ(TypeParam::Outside(), before);
}

TYPED_TEST_P(WinmmRules, FindsLinesAndControlsOnlyByTheirIDs) {
  const HMIXEROBJ device = Object(this->device);
  MIXERCAPSA caps;
  ASSERT_EQ(mixerGetDevCapsA(TypeParam::DEVICE, &caps, sizeof caps), MMSYSERR_NOERROR);
  MIXERLINEA line = this->Line();
  line.dwDestination = caps.cDestinations;
  EXPECT_EQ(mixerGetLineInfoA(device, &line, MIXER_GETLINEINFOF_DESTINATION), MIXERR_INVALLINE);
  line.dwDestination = 0;
  line.dwSource = 1000;
  EXPECT_EQ(mixerGetLineInfoA(device, &line, MIXER_GETLINEINFOF_SOURCE), MIXERR_INVALLINE);
  line.dwLineID = TypeParam::LINE ^ 0x5A5A;
  EXPECT_EQ(mixerGetLineInfoA(device, &line, MIXER_GETLINEINFOF_LINEID), MIXERR_INVALLINE);

  // By ID: the same control, and the line it belongs to.
  MIXERLINECONTROLSA controls = this->Controls(0);
  controls.dwControlID = this->controlID;
  ASSERT_EQ(mixerGetLineControlsA(device, &controls, MIXER_GETLINECONTROLSF_ONEBYID),
            MMSYSERR_NOERROR);
  EXPECT_EQ(this->control.dwControlID, this->controlID);
  EXPECT_EQ(this->control.dwControlType, MIXERCONTROL_CONTROLTYPE_VOLUME);
  EXPECT_EQ(controls.dwLineID, TypeParam::LINE);
  controls.dwControlID = this->controlID ^ 0x5A5A;
  EXPECT_EQ(mixerGetLineControlsA(device, &controls, MIXER_GETLINECONTROLSF_ONEBYID),
            MIXERR_INVALCONTROL);
  controls = this->Controls(TypeParam::LINE ^ 0x5A5A);
  EXPECT_EQ(mixerGetLineControlsA(device, &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE),
            MIXERR_INVALLINE);
  controls = this->Controls(TypeParam::LINE);
  controls.dwControlType = 0x50030000u;  // a fader of another kind
  EXPECT_EQ(mixerGetLineControlsA(device, &controls, MIXER_GETLINECONTROLSF_ONEBYTYPE),
            MIXERR_INVALCONTROL);

  std::vector<DWORD> values(2);
  MIXERCONTROLDETAILS details = this->Details(&values);
  details.dwControlID ^= 0x5A5A;
  EXPECT_EQ(mixerGetControlDetailsA(device, &details, 0), MIXERR_INVALCONTROL);
  EXPECT_EQ(mixerSetControlDetails(device, &details, 0), MIXERR_INVALCONTROL);
}

// A record of one value reads a line of two as its first channel and writes every channel.
TYPED_TEST_P(WinmmRules, OneValueReadsTheFirstChannelAndWritesThemAll) {
  const HMIXEROBJ device = Object(this->device);
  std::vector<DWORD> values{20000, 40000};
  MIXERCONTROLDETAILS both = this->Details(&values);
  ASSERT_EQ(mixerSetControlDetails(device, &both, 0), MMSYSERR_NOERROR);
  std::vector<DWORD> one{0xDEAD};
  MIXERCONTROLDETAILS uniform = this->Details(&one);
  ASSERT_EQ(mixerGetControlDetailsA(device, &uniform, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(one[0], 20000u);
  one[0] = 30000;
  ASSERT_EQ(mixerSetControlDetails(device, &uniform, 0), MMSYSERR_NOERROR);
  const std::vector<DWORD> even{30000, 30000};
  EXPECT_EQ(TypeParam::Outside(), even);
}

TYPED_TEST_P(WinmmRules, CutsANameOnlyBetweenCharacters) {
  EXPECT_EQ(this->NameOf(TypeParam::LONG_NAMED), LongName(15));
}

REGISTER_TYPED_TEST_SUITE_P(WinmmRules, NamesADeviceByAHandleOrAnIndex,
                            ChecksTheRecordThenTheFlagsThenTheObject, RejectsRecordsThatDoNotFit,
                            AnswersEachQueryAsWinmmDoes, FindsLinesAndControlsOnlyByTheirIDs,
                            OneValueReadsTheFirstChannelAndWritesThemAll,
                            CutsANameOnlyBetweenCharacters);

}  // namespace winmm_rules
