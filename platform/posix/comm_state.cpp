// The checks kernel32's SetCommState makes before it touches a port, for the settings our
// code can produce: a record Windows refuses must fail here too, or the Linux and test builds
// would run with settings the product never gets.
#include "platform/posix/posix.h"

namespace posix {

DWORD CommStateError(const DCB& state) {
  // Rate 0 would mean "hang up" to a terminal; Windows refuses it as well.
  if (state.DCBlength != sizeof(DCB) || state.BaudRate == 0 || state.ByteSize < 5 ||
      state.ByteSize > 8 || state.Parity > SPACEPARITY || state.StopBits > TWOSTOPBITS ||
      state.XonChar == state.XoffChar) {
    return ERROR_INVALID_PARAMETER;
  }
  return ERROR_SUCCESS;
}

}  // namespace posix
