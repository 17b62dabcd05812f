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

// The five fields of Windows COMMTIMEOUTS, in milliseconds. The Win32 line hands them to the
// driver; the POSIX line emulates them for these combinations of the read fields (I interval,
// M total multiplier, C total constant; MAX is kSerialTimeoutMax):
// - I below MAX: a read returns when all bytes asked for have come; or when the total time-out
//   M * bytes asked + C, counted from the start of the read, runs out (no total limit when M and C
//   are both 0); or, once a first byte has come, when more than I passes without another (no
//   interval limit when I is 0). So {0, 0, 0} waits until all bytes asked for have come.
// - {MAX, 0, 0}: returns at once with what is buffered, possibly nothing.
// - {MAX, MAX, C} with C below MAX: returns at once with what is buffered; when nothing is, with
//   the first bytes that come within C, or with nothing after C.
// - {MAX, M, C} otherwise, {MAX, 0, 500} for example, which Windows leaves undocumented: MAX
//   counts as no interval limit, so the read waits for all bytes asked for or for the total
//   M * bytes asked + C, whichever comes first.
// The serial port class uses only the first two forms. A write ends after
// WriteTotalTimeoutMultiplier * bytes + WriteTotalTimeoutConstant (no limit when both are 0) with
// what was sent by then. A read or write cut short by a time-out succeeds with the smaller count.
struct TSerialTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Opens a port by name for reading and writing, exclusively: a port that another program (or
// another line of this one) has open fails to open. Name is a plain port name (COM5, ttyACM0)
// that IsPortName accepts, opened at PortDevicePath (platform/PortName.h); anything else, a path
// in particular, is refused. A fresh POSIX line returns at once from reads until time-outs are
// set. Returns kNoSerialLine on failure, with Reason saying why ("in use by another program").
TSerialLine SerialOpen(const std::string& Name, std::string& Reason);

// Raw 8 data bits, no parity, one stop bit at BaudRate; no flow control, no character
// processing; DTR and RTS raised and kept raised. False, with Reason saying what failed, when the
// line's state cannot be read or set. POSIX also fails for a rate the system has no setting for,
// when reading the settings back shows one the driver did not take (tcsetattr succeeds when any
// one change applied), and when DTR cannot be raised on a line that has modem lines.
bool SerialConfigure(TSerialLine Line, uint32_t BaudRate, std::string& Reason);

// The line's settings as the driver reports them.
struct TSerialSettings {
  uint32_t BaudRate = 0;  // 0 when POSIX has no number for the line's speed
  uint8_t DataBits = 0;
  bool Parity = false;
  uint8_t StopBits = 0;       // 1 or 2 (Windows' 1.5 reads as 2)
  bool Raw = false;           // binary: no echo, line editing, signals, translation or replacement
  bool HardwareFlow = false;  // CTS/RTS or DSR/DTR handshake
  bool SoftwareFlow = false;  // XON/XOFF in either direction
  // DTR and RTS raised. A line without modem lines (a pseudo-terminal) reports both raised, as
  // Wine does for the COM ports it maps onto such lines.
  bool DtrOn = false;
  bool RtsOn = false;
};
bool SerialGetSettings(TSerialLine Line, TSerialSettings& Settings);

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
