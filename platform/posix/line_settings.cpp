// The line settings of a Windows serial port over a Linux terminal: GetCommState and
// SetCommState as kernel32 gives them: DCB fields read from and written to termios flags and
// the modem-control lines, after the checks SetCommState makes (CommStateError).
#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

#include "platform/posix/port_table.h"
#include "platform/posix/posix.h"
#include "platform/win32.h"

namespace {

struct Speed {
  DWORD rate;
  unsigned code;
};

// The rates with a termios code of their own; any other rate is set by number (BOTHER), which
// is how Windows' 14400, 56000, 128000 and 256000 get through.
const Speed SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned SpeedCode(DWORD rate) {
  for (const Speed& speed : SPEEDS) {
    if (speed.rate == rate) return speed.code;
  }
  return BOTHER;
}

unsigned SizeFlag(BYTE byteSize) {
  switch (byteSize) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

BYTE ByteSize(unsigned cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

unsigned ParityFlags(BYTE parity) {
  switch (parity) {
    case ODDPARITY:
      return PARENB | PARODD;
    case EVENPARITY:
      return PARENB;
    case MARKPARITY:
      return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

BYTE Parity(unsigned cflag) {
  if ((cflag & PARENB) == 0) return NOPARITY;
  if ((cflag & CMSPAR) != 0) return (cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
  return (cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
}

// Raises or drops one modem-control line. A pseudo-terminal or a USB device without them
// refuses; Windows drivers of such devices accept the setting and ignore it, so do we.
void SetModemLine(int fd, int line, bool raised) { ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line); }

}  // namespace

extern "C" {

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  const int fd = posix::DescriptorOf(hFile);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return posix::Fail(posix::ErrorFromErrno(errno));
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) != 0) lines = 0;  // no modem-control lines

  DCB state = {};
  state.DCBlength = sizeof(DCB);
  state.BaudRate = settings.c_ospeed;
  state.fBinary = 1;
  state.fParity = (settings.c_iflag & INPCK) != 0;
  state.fOutxCtsFlow = (settings.c_cflag & CRTSCTS) != 0;
  state.fDtrControl = (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  // Linux keeps sending after it has sent XOFF itself.
  state.fTXContinueOnXoff = 1;
  state.fOutX = (settings.c_iflag & IXON) != 0;
  state.fInX = (settings.c_iflag & IXOFF) != 0;
  if ((settings.c_cflag & CRTSCTS) != 0) {
    state.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    state.fRtsControl = (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  state.ByteSize = ByteSize(settings.c_cflag);
  state.Parity = Parity(settings.c_cflag);
  if ((settings.c_cflag & CSTOPB) == 0) {
    state.StopBits = ONESTOPBIT;
  } else {
    state.StopBits = state.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  state.XonChar = static_cast<char>(settings.c_cc[VSTART]);
  state.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
  *lpDCB = state;
  return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (lpDCB == nullptr) return posix::Fail(ERROR_INVALID_PARAMETER);
  const DCB& state = *lpDCB;
  DWORD refused = posix::CommStateError(state);
  if (refused != ERROR_SUCCESS) return posix::Fail(refused);
  const int fd = posix::DescriptorOf(hFile);
  if (fd < 0) return posix::Fail(ERROR_INVALID_HANDLE);
  termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return posix::Fail(posix::ErrorFromErrno(errno));

  // Raw bytes as on Windows: no line editing, echo, signals, translation or output processing.
  settings.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  // CLOCAL: the box has no carrier line to wait for or to hang up on.
  settings.c_cflag |= CREAD | CLOCAL | SpeedCode(state.BaudRate) | SizeFlag(state.ByteSize) |
                      ParityFlags(state.Parity);
  settings.c_ispeed = state.BaudRate;
  settings.c_ospeed = state.BaudRate;
  if (state.StopBits != ONESTOPBIT) settings.c_cflag |= CSTOPB;
  // Linux has one switch for both directions of hardware flow control.
  if (state.fOutxCtsFlow || state.fRtsControl == RTS_CONTROL_HANDSHAKE) {
    settings.c_cflag |= CRTSCTS;
  }
  if (state.fParity) settings.c_iflag |= INPCK;
  if (state.fOutX) settings.c_iflag |= IXON;
  if (state.fInX) settings.c_iflag |= IXOFF;
  settings.c_cc[VSTART] = static_cast<cc_t>(state.XonChar);
  settings.c_cc[VSTOP] = static_cast<cc_t>(state.XoffChar);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  if (ioctl(fd, TCSETS2, &settings) != 0) return posix::Fail(posix::ErrorFromErrno(errno));

  SetModemLine(fd, TIOCM_DTR, state.fDtrControl != DTR_CONTROL_DISABLE);
  if (state.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    SetModemLine(fd, TIOCM_RTS, state.fRtsControl != RTS_CONTROL_DISABLE);
  }
  return TRUE;
}

}  // extern "C"
