// What the serial link asks of the platform, checked against a scripted port that records
// every call: the open, the timeouts, exactly which settings change, and the mends for a port
// that cannot report its settings and for a buffer that cannot hold a line.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/posix.h"
#include "serial/serial.h"

namespace {

HANDLE const PORT = reinterpret_cast<HANDLE>(0x40);

struct ScriptedPort {
  DCB reported = {};         // what GetCommState hands out
  bool reportFails = false;  // GetCommState scribbles over the record all the same, then fails
  std::deque<int> bytes;     // one per ReadFile, -1 for a read that delivers none; reads fail
                             // once they run out
  std::vector<std::string> calls;
  DWORD shareMode = 99, disposition = 99, access = 0;
  COMMTIMEOUTS timeouts = {};
  DCB applied = {};
} port;

}  // namespace

extern "C" {
HANDLE CreateFileA(LPCSTR, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE) {
  port.calls.push_back("CreateFileA");
  port.access = access;
  port.shareMode = shareMode;
  port.disposition = disposition;
  return PORT;
}
BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  port.calls.push_back("SetCommTimeouts");
  port.timeouts = *timeouts;
  return FALSE;  // rejected settings must not stop the open
}
BOOL GetCommState(HANDLE, LPDCB state) {
  port.calls.push_back("GetCommState " + std::to_string(state->DCBlength));
  if (port.reportFails) {
    memset(state, 0xA5, sizeof(DCB));
    return FALSE;
  }
  *state = port.reported;
  return TRUE;
}
BOOL SetCommState(HANDLE, LPDCB state) {
  port.calls.push_back("SetCommState");
  port.applied = *state;
  return FALSE;
}
BOOL ReadFile(HANDLE, LPVOID buffer, DWORD, LPDWORD count, LPOVERLAPPED) {
  port.calls.push_back("ReadFile");
  *count = 0;
  if (port.bytes.empty()) return FALSE;
  int byte = port.bytes.front();
  port.bytes.pop_front();
  if (byte < 0) return TRUE;
  *static_cast<char*>(buffer) = static_cast<char>(byte);
  *count = 1;
  return TRUE;
}
BOOL PurgeComm(HANDLE, DWORD flags) {
  port.calls.push_back("PurgeComm " + std::to_string(flags));
  return TRUE;
}
BOOL CloseHandle(HANDLE) {
  port.calls.push_back("CloseHandle");
  return TRUE;
}
}

namespace {

// What the box needs, whatever the port had: the rate, 8N1, DTR on, RTS off, no handshake and
// no parity checking.
void ExpectLinkSettings(const DCB& applied, DWORD baudRate) {
  EXPECT_EQ(applied.DCBlength, 28u);
  EXPECT_EQ(applied.BaudRate, baudRate);
  EXPECT_EQ(applied.ByteSize, 8);
  EXPECT_EQ(applied.Parity, NOPARITY);
  EXPECT_EQ(applied.StopBits, ONESTOPBIT);
  EXPECT_EQ(applied.fDtrControl, unsigned{DTR_CONTROL_ENABLE});
  EXPECT_EQ(applied.fRtsControl, unsigned{RTS_CONTROL_DISABLE});
  EXPECT_EQ(applied.fOutxCtsFlow | applied.fOutxDsrFlow | applied.fDsrSensitivity, 0u);
  EXPECT_EQ(applied.fParity, 0u);
}

class SerialSettings : public ::testing::Test {
 protected:
  void SetUp() override { port = ScriptedPort{}; }
};

TEST_F(SerialSettings, OpensExclusivelyAndWaitsForTheFirstByte) {
  EXPECT_EQ(OpenComPort("COM3", 115200), PORT);
  EXPECT_EQ(port.access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(port.shareMode, 0u);
  EXPECT_EQ(port.disposition, OPEN_EXISTING);
  EXPECT_EQ(port.timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(port.timeouts.ReadTotalTimeoutMultiplier, 0xFFFFFFFFu);
  EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 0xFFFFFFFEu);
  EXPECT_EQ(port.timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port.timeouts.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(port.calls, (std::vector<std::string>{"CreateFileA", "SetCommTimeouts",
                                                  "GetCommState 28", "SetCommState"}));
}

TEST_F(SerialSettings, ChangesOnlyTheLineSettingsAndKeepsTheRest) {
  memset(&port.reported, 0xFF, sizeof(DCB));  // every flag on, XON/XOFF included
  port.reported.DCBlength = sizeof(DCB);
  port.reported.XonChar = 0x11;
  port.reported.XoffChar = 0x13;
  OpenComPort("COM3", 9600);
  const DCB& applied = port.applied;
  const DCB& reported = port.reported;
  ExpectLinkSettings(applied, 9600);
  EXPECT_EQ(applied.fOutX & applied.fInX & applied.fTXContinueOnXoff, 1u) << "XON/XOFF kept";
  EXPECT_EQ(applied.fBinary & applied.fErrorChar & applied.fNull & applied.fAbortOnError, 1u);
  EXPECT_EQ(applied.XonLim, reported.XonLim);
  EXPECT_EQ(applied.XoffLim, reported.XoffLim);
  EXPECT_EQ(applied.XonChar, 0x11);
  EXPECT_EQ(applied.XoffChar, 0x13);
  EXPECT_EQ(applied.ErrorChar, reported.ErrorChar);
  EXPECT_EQ(applied.EofChar, reported.EofChar);
  EXPECT_EQ(applied.EvtChar, reported.EvtChar);
  EXPECT_EQ(applied.fDummy2, reported.fDummy2);
  EXPECT_EQ(applied.wReserved, reported.wReserved);
  EXPECT_EQ(applied.wReserved1, reported.wReserved1);
}

// Windows refuses the whole record when XonChar equals XoffChar, and the port then keeps
// whatever it had: the fallback must be a record Windows takes, and say 115200 8N1 by itself.
TEST_F(SerialSettings, PortThatCannotReportItsSettingsGetsSettingsWindowsAccepts) {
  port.reportFails = true;
  OpenComPort("COM3", 115200);
  const DCB& applied = port.applied;
  EXPECT_EQ(posix::CommStateError(applied), ERROR_SUCCESS);
  ExpectLinkSettings(applied, 115200);
  EXPECT_EQ(applied.fBinary, 1u);
  EXPECT_EQ(applied.fOutX | applied.fInX, 0u);
  EXPECT_EQ(applied.fErrorChar | applied.fNull | applied.fAbortOnError, 0u);
  EXPECT_EQ(applied.XonChar, 0x11);
  EXPECT_EQ(applied.XoffChar, 0x13);
}

TEST_F(SerialSettings, UnusableBufferReadsNothingAndWritesNothing) {
  char buffer[4] = "abc";
  port.bytes = {'1', '\n'};
  EXPECT_FALSE(ReadComLine(PORT, nullptr, 16));
  EXPECT_FALSE(ReadComLine(PORT, buffer, 0));
  EXPECT_FALSE(ReadComLine(PORT, buffer, -5));
  EXPECT_STREQ(buffer, "abc");
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(SerialSettings, ReadThatDeliversNothingAddsNothing) {
  char buffer[16];
  memset(buffer, '\n', sizeof buffer);  // an old line feed must not end the line
  port.bytes = {-1, '4', -1, -1, '2', '\n'};
  EXPECT_TRUE(ReadComLine(PORT, buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "42");
}

TEST_F(SerialSettings, ClosingAbandonsPendingReadsFirst) {
  EXPECT_TRUE(CloseComPort(PORT));
  EXPECT_EQ(port.calls, (std::vector<std::string>{"PurgeComm 2", "CloseHandle"}));
}

}  // namespace
