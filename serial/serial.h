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

// For a reader that must not wait for a quiet box (the setup's live view of the knobs): makes
// every later read on port return within milliseconds, with whatever arrived; the call's result.
BOOL LimitComReads(HANDLE port, DWORD milliseconds);

// Makes reads on port wait for the first byte as long as the platform allows again, as
// OpenComPort sets them, after LimitComReads; the call's result.
BOOL WaitForComReads(HANDLE port);

// What ReadComLinePart ended with.
enum ComLinePart {
  COM_LINE_DONE,     // a whole line is in the buffer
  COM_LINE_PENDING,  // no more bytes for now: the part read so far waits for the next call
  COM_PORT_FAILED,   // the port failed (unplugged): the buffer holds what arrived
};

// Reads on a port whose reads are limited (LimitComReads) into buffer, which holds *length
// bytes of a line begun by earlier calls, until the line feed (the line without it, NUL-
// terminated, and *length back to 0), a read that brings nothing, a failure, or size bytes
// taken, whichever comes first. Keeps at most size - 1 bytes of a line and drops the rest, so
// a stream without line feeds never holds the caller for long. COM_PORT_FAILED, with nothing
// read, when buffer is null, size is below 1 or *length outside 0..size - 1.
ComLinePart ReadComLinePart(HANDLE port, char* buffer, int32_t size, int32_t* length);

// Abandons pending reads and closes the port; the close's result.
BOOL CloseComPort(HANDLE port);

#endif  // KNOBVANE_SERIAL_SERIAL_H
