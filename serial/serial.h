// Serial link: the controller's connection to the ADC box. Opens a COM port at 8N1 with no
// hardware handshake and reads that wait for data, reads the box's text lines one byte per
// platform read, and closes the port again. Holds no state of its own: the caller keeps the
// handle from OpenComPort to CloseComPort.
#ifndef KNOBVANE_SERIAL_SERIAL_H
#define KNOBVANE_SERIAL_SERIAL_H

#include <cstdint>

#include "platform/win32.h"

// Opens the port ("COM3", "\\.\COM13" or a device path) for this process alone and sets it to
// baudRate bits per second, 8N1, DTR on, RTS off; INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenComPort(const char* name, DWORD baudRate);

// Reads one line ended by a line feed into buffer, without it and NUL-terminated, keeping at
// most size - 1 bytes; false when the port failed (buffer then holds what arrived) or when
// buffer is null or size below 1 (nothing written).
bool ReadComLine(HANDLE port, char* buffer, int32_t size);

// Abandons pending reads and closes the port; the close's result.
BOOL CloseComPort(HANDLE port);

#endif  // KNOBVANE_SERIAL_SERIAL_H
