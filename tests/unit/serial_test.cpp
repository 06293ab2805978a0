// The serial link on pseudo-terminals, through the real POSIX platform layer.
#include <termios.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/posix.h"
#include "serial/serial.h"
#include "tests/support/deadline.h"
#include "tests/support/pty_box.h"

// Every ReadFile call, wherever it comes from (the binary is linked with --wrap=ReadFile).
std::atomic<int> readFileCalls{0};

extern "C" BOOL __real_ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern "C" BOOL __wrap_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD count,
                                LPOVERLAPPED overlapped) {
  ++readFileCalls;
  return __real_ReadFile(file, buffer, size, count, overlapped);
}

namespace {

const auto DEADLINE = std::chrono::seconds(10);
constexpr int64_t MS = 1000000;

// The box's end of the line, a bare terminal as the system makes it: the code under test
// opens it by its path, the test looks at its settings through Terminal().
struct PseudoTerminal : support::Box {
  PseudoTerminal() { EXPECT_TRUE(PlugIn()); }
  void Send(const std::string& bytes) { ASSERT_TRUE(Box::Send(bytes)); }
  // Waits until the terminal holds exactly count bytes nobody has read yet.
  bool WaitForUnread(int count) const {
    return support::Eventually([&] { return Unread() == count; }, 10);
  }
};

struct Line {
  bool ok;
  std::string text;
};

// A read still blocked at the deadline is ended by hanging up, so a fault fails the test
// instead of stalling it.
Line ReadLine(HANDLE port, PseudoTerminal* terminal, int32_t size = 256) {
  std::vector<char> buffer(size, 'X');
  auto reading = std::async(std::launch::async, ReadComLine, port, buffer.data(), size);
  if (reading.wait_for(DEADLINE) != std::future_status::ready) {
    ADD_FAILURE() << "ReadComLine still waiting";
    terminal->HangUp();
  }
  bool ok = reading.get();
  return {ok, buffer.data()};
}

TEST(SerialLink, FramesLinesAtLineFeeds) {
  std::string longLine;
  for (int i = 0; i < 300; ++i) longLine += static_cast<char>('A' + i % 26);
  struct Row {
    std::string sent;
    int32_t size;
    std::vector<std::string> lines;
  } rows[] = {
      {"123\r\n", 256, {"123\r"}},
      {"\n", 256, {""}},
      {"7\n8\n", 256, {"7", "8"}},  // one byte per read leaves the next line in the port
      // Bytes 0-254 kept, byte 255 overwritten by the terminator, the rest comes next.
      {longLine + "\n", 256, {longLine.substr(0, 255), longLine.substr(256)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sent.substr(0, 8));
    PseudoTerminal terminal;
    HANDLE port = OpenComPort(terminal.Path(), 115200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    terminal.Send(row.sent);
    for (const std::string& expected : row.lines) {
      Line line = ReadLine(port, &terminal, row.size);
      EXPECT_TRUE(line.ok);
      EXPECT_EQ(line.text, expected);
    }
    EXPECT_TRUE(CloseComPort(port));
  }
}

TEST(SerialLink, HangUpMidLineReturnsTheBytesSoFar) {
  PseudoTerminal terminal;
  HANDLE port = OpenComPort(terminal.Path(), 115200);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  terminal.Send("12");
  ASSERT_TRUE(terminal.WaitForUnread(2));
  std::thread unplug([&] {
    if (terminal.WaitForUnread(0)) terminal.HangUp();
  });
  Line line = ReadLine(port, &terminal);
  unplug.join();
  EXPECT_FALSE(line.ok);
  EXPECT_EQ(line.text, "12");
  CloseComPort(port);
}

TEST(SerialLink, PortOpensOnlyOnceAtATime) {
  PseudoTerminal terminal;
  HANDLE port = OpenComPort(terminal.Path(), 115200);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenComPort(terminal.Path(), 115200), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseComPort(port));
  port = OpenComPort(terminal.Path(), 115200);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  CloseComPort(port);
}

TEST(SerialLink, MissingPortGivesInvalidHandle) {
  EXPECT_EQ(OpenComPort("/dev/knobvane-no-such-port", 115200), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  PseudoTerminal unplugged;
  unplugged.HangUp();
  EXPECT_EQ(OpenComPort(unplugged.Path(), 115200), INVALID_HANDLE_VALUE);
}

TEST(SerialLink, OpenedPortIsRaw8N1WithoutHardwareHandshake) {
  for (tcflag_t xonXoff : {tcflag_t{0}, tcflag_t{IXON | IXOFF}}) {
    PseudoTerminal terminal;
    termios before;
    ASSERT_EQ(tcgetattr(terminal.Terminal(), &before), 0);
    before.c_iflag = (before.c_iflag & ~(IXON | IXOFF)) | xonXoff;
    before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(terminal.Terminal(), TCSANOW, &before), 0);

    HANDLE port = OpenComPort(terminal.Path(), 115200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    termios after;
    ASSERT_EQ(tcgetattr(terminal.Terminal(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), speed_t{B115200});
    EXPECT_EQ(after.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF), xonXoff) << "XON/XOFF as the port had it";
    CloseComPort(port);
  }
}

TEST(SerialLink, BaudRatesWindowsOffersReachTheTerminal) {
  for (DWORD rate : {9600u, 14400u, 57600u, 256000u, 921600u}) {
    PseudoTerminal terminal;
    HANDLE port = OpenComPort(terminal.Path(), rate);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB state = {};
    ASSERT_TRUE(GetCommState(port, &state));
    EXPECT_EQ(state.BaudRate, rate);
    CloseComPort(port);
  }
}

// A record Windows refuses leaves the port as it was there, so it must fail here too, with
// Windows' error, for the Linux and test builds to catch settings the product never gets.
TEST(SerialLink, SetCommStateRefusesWhatWindowsRefuses) {
  struct Row {
    const char* change;
    void (*apply)(DCB*);
    bool accepted;
  } rows[] = {
      {"none", [](DCB*) {}, true},
      {"XonChar equals XoffChar", [](DCB* s) { s->XonChar = s->XoffChar; }, false},
      {"same characters, XON/XOFF off",
       [](DCB* s) { s->fOutX = s->fInX = 0, s->XonChar = s->XoffChar = 0; }, false},
      {"ByteSize 9", [](DCB* s) { s->ByteSize = 9; }, false},
      {"ByteSize 4", [](DCB* s) { s->ByteSize = 4; }, false},
      {"ByteSize 5", [](DCB* s) { s->ByteSize = 5; }, true},
      {"DCBlength 0", [](DCB* s) { s->DCBlength = 0; }, false},
  };
  for (const Row& row : rows) {
    PseudoTerminal terminal;
    HANDLE port = OpenComPort(terminal.Path(), 115200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB state = {};
    state.DCBlength = sizeof(DCB);
    ASSERT_TRUE(GetCommState(port, &state));
    row.apply(&state);
    EXPECT_EQ(SetCommState(port, &state) != 0, row.accepted) << row.change;
    if (!row.accepted) {
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << row.change;
    }
    CloseComPort(port);
  }
}

TEST(SerialLink, ComPortNamesMapToTtyS) {
  struct Row {
    const char* name;
    const char* path;
  } rows[] = {
      {"COM3", "/dev/ttyS2"},
      {"\\\\.\\COM13", "/dev/ttyS12"},
      {"com1", "/dev/ttyS0"},
      {"COM256", "/dev/ttyS255"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM0", "COM0"},
      {"COM03", "COM03"},
      {"COM257", "COM257"},
      {"COM3x", "COM3x"},
      {"COM", "COM"},
  };
  for (const Row& row : rows) EXPECT_EQ(posix::ComPortDevicePath(row.name), row.path) << row.name;
}

// The timeouts a port is given decide how long ReadFile waits, at least, and what it returns.
// Only the least wait is checked: a busy machine may make any read late, never early.
TEST(SerialLink, ReadFileHonoursWindowsTimeouts) {
  constexpr int64_t PAUSE_MS = 150;  // the box's pause before it sends the later bytes
  struct Row {
    COMMTIMEOUTS timeouts;
    std::string waiting;  // already in the port when the read starts
    std::string later;    // sent PAUSE_MS after the read took the waiting bytes
    DWORD expected;       // bytes of 8 asked for
    int64_t leastMs;      // the read's shortest wait after the last byte was sent
  } rows[] = {
      {{MAXDWORD, 0, 0, 0, 0}, "", "", 0, 0},  // what is there, at once
      {{MAXDWORD, 0, 0, 0, 0}, "abc", "", 3, 0},
      {{MAXDWORD, MAXDWORD, 20, 0, 0}, "", "", 0, 20},  // first byte or 20 ms
      {{MAXDWORD, MAXDWORD, 20, 0, 0}, "ab", "", 2, 0},
      {{0, 0, 20, 0, 0}, "", "", 0, 20},  // 8 bytes or 20 ms in all
      {{0, 0, 20, 0, 0}, "abc", "", 3, 20},
      {{0, 2, 0, 0, 0}, "ab", "", 2, 16},    // 8 bytes or 2 ms each in all
      {{20, 0, 0, 0, 0}, "abc", "", 3, 20},  // 8 bytes, or 20 ms without one once one came
      // The interval runs from the last byte, not from the read's start.
      {{500, 0, 0, 0, 0}, "a", "b", 2, 500},
      {{0, 0, 0, 0, 0}, "abcdefgh", "", 8, 0},  // 8 bytes, however long
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.waiting + "/" + row.later);
    PseudoTerminal terminal;
    HANDLE port = OpenComPort(terminal.Path(), 115200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts = row.timeouts;
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    terminal.Send(row.waiting);
    ASSERT_TRUE(terminal.WaitForUnread(static_cast<int>(row.waiting.size())));
    // A read the timeouts do not end is ended by hanging up, which fails it.
    char buffer[8];
    DWORD count = 99;
    int64_t endedNs = 0;
    int64_t lastSentNs = support::NowNs();
    auto reading = std::async(std::launch::async, [&] {
      const BOOL ok = ReadFile(port, buffer, DWORD{sizeof buffer}, &count, nullptr);
      endedNs = support::NowNs();
      return ok;
    });
    if (!row.later.empty()) {
      EXPECT_TRUE(terminal.WaitForUnread(0));
      posix::SleepUntilNs(support::NowNs() + PAUSE_MS * MS);
      lastSentNs = support::NowNs();  // before the send: the byte cannot arrive earlier
      terminal.Send(row.later);
    }
    if (reading.wait_for(DEADLINE) != std::future_status::ready) terminal.HangUp();
    EXPECT_TRUE(reading.get());
    EXPECT_EQ(count, row.expected);
    EXPECT_GE(endedNs - lastSentNs, row.leastMs * MS);
    CloseComPort(port);
  }
}

// A box may say nothing for hours. Waiting for it costs the controller one read, and setup's
// live view one read per time limit it sets itself: never a core spent on empty reads.
TEST(SerialLink, ASilentBoxCostsAFewReadsASecond) {
  struct Row {
    const char* reader;
    DWORD limitMs;  // LimitComReads; 0: the controller's own timeouts
    int mostReads;  // in one second
  } rows[] = {
      {"the controller", 0, 1},
      {"setup's live view", 100, 11},  // one per 100 ms, and the one under way
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reader);
    PseudoTerminal terminal;
    HANDLE port = OpenComPort(terminal.Path(), 115200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    if (row.limitMs != 0) {
      ASSERT_TRUE(LimitComReads(port, row.limitMs));
    }
    readFileCalls = 0;
    // Reads until the port fails, as both readers do.
    std::thread reader([&] {
      char line[16];
      int32_t length = 0;
      while (ReadComLinePart(port, line, sizeof line, &length) != COM_PORT_FAILED) {
      }
    });
    EXPECT_TRUE(support::Eventually([] { return readFileCalls > 0; }, 10));
    EXPECT_FALSE(support::Eventually([&] { return readFileCalls > row.mostReads; }, 1.0))
        << readFileCalls << " reads";
    terminal.HangUp();
    reader.join();
    CloseComPort(port);
  }
}

// One read takes every waiting byte; the one-byte reads after it are served from what it
// took, and closing or purging the port forgets what was taken but not yet asked for.
TEST(SerialLink, OneReadTakesTheWholeLineAndClosingOrPurgingDropsTheRest) {
  PseudoTerminal terminal;
  const auto readByte = [](HANDLE port) {
    char byte = 0;
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(port, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 1u);
    return byte;
  };
  HANDLE port = OpenComPort(terminal.Path(), 115200);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  terminal.Send("12\n34\n");
  ASSERT_TRUE(terminal.WaitForUnread(6));
  EXPECT_EQ(readByte(port), '1');
  EXPECT_TRUE(terminal.WaitForUnread(0));
  EXPECT_EQ(readByte(port), '2');
  ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  terminal.Send("5\n");
  EXPECT_EQ(readByte(port), '5');
  EXPECT_EQ(readByte(port), '\n');

  terminal.Send("67\n");
  EXPECT_EQ(readByte(port), '6');
  CloseComPort(port);
  port = OpenComPort(terminal.Path(), 115200);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  terminal.Send("8\n");
  EXPECT_EQ(readByte(port), '8');
  CloseComPort(port);
}

}  // namespace

// A limited read hands back whole lines, keeps a line's beginning for the next call, cuts an
// overlong line to the buffer, and tells a port that hung up: the setup's live view never waits.
TEST(SerialLink, LimitedReadsReturnLinesAndPartsWithoutWaiting) {
  struct Row {
    std::string sent;
    ComLinePart expected;
    std::string text;
  } rows[] = {
      {"", COM_LINE_PENDING, ""},  // nothing came: back at once
      {"12", COM_LINE_PENDING, "12"},
      {"34\n5", COM_LINE_DONE, "1234"},
      {"", COM_LINE_PENDING, "5"},  // the next line's beginning, kept
      {"6789abcdef\n", COM_LINE_PENDING, "56789ab"},
      {"", COM_LINE_DONE, "56789ab"},  // the rest of the overlong line dropped
  };
  PseudoTerminal terminal;
  HANDLE port = OpenComPort(terminal.Path(), 115200);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(LimitComReads(port, 20));
  char buffer[8];
  int32_t length = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.sent);
    terminal.Send(row.sent);
    ASSERT_TRUE(terminal.WaitForUnread(static_cast<int>(row.sent.size())));
    EXPECT_EQ(ReadComLinePart(port, buffer, sizeof buffer, &length), row.expected);
    EXPECT_EQ(std::string(buffer), row.text);
  }
  terminal.HangUp();
  EXPECT_EQ(ReadComLinePart(port, buffer, sizeof buffer, &length), COM_PORT_FAILED);
  length = 8;
  EXPECT_EQ(ReadComLinePart(port, buffer, sizeof buffer, &length), COM_PORT_FAILED);
  CloseComPort(port);
}
