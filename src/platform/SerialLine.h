// The serial-line seam: one exclusively opened serial port with Windows COMMTIMEOUTS meaning on
// every system. Win32 passes the calls to the comm API; POSIX sets termios raw mode and emulates
// the time-out rules with poll(), so that code above this layer reads the same way everywhere.
// No OS header is included here.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// An open serial line; nullptr (kNoSerialLine) is never a valid line.
struct TSerialLineState;
using TSerialLine = TSerialLineState*;
constexpr TSerialLine kNoSerialLine = nullptr;

// MAXDWORD of the Windows time-out fields.
constexpr uint32_t kSerialTimeoutMax = 0xFFFFFFFFu;

// The five fields of Windows COMMTIMEOUTS, in milliseconds, with their Windows meaning:
// - a read returns when all bytes asked for have come, or when the total time-out
//   (TotalMultiplier * bytes asked + TotalConstant, counted from the start of the read; none when
//   both are 0) runs out, or when, once a first byte has come, more than ReadIntervalTimeout passes
//   between two bytes (no interval limit when it is 0);
// - ReadIntervalTimeout kSerialTimeoutMax with both totals 0: return at once with what is buffered;
// - ReadIntervalTimeout and ReadTotalTimeoutMultiplier kSerialTimeoutMax, 0 <
// ReadTotalTimeoutConstant
//   < kSerialTimeoutMax: return at once with what is buffered, else with the first bytes that come
//   within ReadTotalTimeoutConstant;
// - all read fields 0: wait until all bytes asked for have come;
// - a write ends after WriteTotalTimeoutMultiplier * bytes + WriteTotalTimeoutConstant (no limit
//   when both are 0) with what was sent by then.
// A read or write cut short by a time-out succeeds with the smaller count.
struct TSerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Opens a port by name for reading and writing, exclusively: a port that another program (or
// another line of this one) has open fails to open. Windows: "\\.\" + Name. POSIX: Name is a
// device path; without a '/' it names an entry of QUARNEL_DEV_ROOT (default /dev), so "ttyACM0"
// means /dev/ttyACM0. A fresh POSIX line returns at once from reads until time-outs are set.
// Returns kNoSerialLine on failure.
TSerialLine SerialOpen(const std::string& Name);

// Raw 8 data bits, no parity, one stop bit at BaudRate; no flow control, no character
// processing; DTR and RTS raised and kept raised. False when the line's state cannot be read or
// set (on POSIX also for a rate the system has no setting for).
bool SerialConfigure(TSerialLine Line, uint32_t BaudRate);

bool SerialGetTimeouts(TSerialLine Line, TSerialTimeouts& Timeouts);
bool SerialSetTimeouts(TSerialLine Line, const TSerialTimeouts& Timeouts);

// Driver queue sizes (SetupComm); POSIX has no such setting and succeeds.
bool SerialSetupQueues(TSerialLine Line, uint32_t InputSize, uint32_t OutputSize);

// Aborts pending transfers and empties both driver buffers.
bool SerialPurge(TSerialLine Line);

// One read of up to Count bytes under the installed time-outs (one ReadFile). Got receives the
// number of bytes placed in Buf; it may be less than Count, also 0, on success. False when the
// line failed (a device that vanished, a hang-up).
bool SerialRead(TSerialLine Line, void* Buf, uint32_t Count, uint32_t& Got);

// One write of Count bytes under the installed write time-outs (one WriteFile). Written receives
// the number of bytes sent, which is smaller than Count when the time-out cut the write short.
bool SerialWrite(TSerialLine Line, const void* Buf, uint32_t Count, uint32_t& Written);

// Closes the line and releases it for other openers. kNoSerialLine is ignored.
void SerialClose(TSerialLine Line);

}  // namespace platform
