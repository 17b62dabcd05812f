// Win32 serial line: a COM port opened synchronously and without sharing, driven by the comm API.
// The driver applies the COMMTIMEOUTS itself.
#include "platform/SerialLine.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

struct TSerialLineState {
  HANDLE Handle = INVALID_HANDLE_VALUE;
};

TSerialLine SerialOpen(const std::string& Name) {
  if (Name.empty()) return kNoSerialLine;
  // "\\.\" reaches COM10 and above too, which the bare name does not.
  std::string path = "\\\\.\\" + Name;
  // No sharing: a port that another program has open fails here, as it should.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoSerialLine;
  auto* line = new TSerialLineState;
  line->Handle = h;
  return line;
}

bool SerialConfigure(TSerialLine Line, uint32_t BaudRate) {
  if (!Line) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(Line->Handle, &dcb)) return false;
  dcb.BaudRate = BaudRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // The fifteen low flag bits: binary mode, DTR and RTS raised and left up; no parity check, no
  // CTS/DSR flow control or sensitivity, no XON/XOFF, no character replacement or stripping, no
  // abort on error. The bits above them and the other fields keep the driver's values.
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  return SetCommState(Line->Handle, &dcb) != 0;
}

bool SerialGetTimeouts(TSerialLine Line, TSerialTimeouts& Timeouts) {
  if (!Line) return false;
  COMMTIMEOUTS ct{};
  if (!GetCommTimeouts(Line->Handle, &ct)) return false;
  Timeouts.ReadIntervalTimeout = ct.ReadIntervalTimeout;
  Timeouts.ReadTotalTimeoutMultiplier = ct.ReadTotalTimeoutMultiplier;
  Timeouts.ReadTotalTimeoutConstant = ct.ReadTotalTimeoutConstant;
  Timeouts.WriteTotalTimeoutMultiplier = ct.WriteTotalTimeoutMultiplier;
  Timeouts.WriteTotalTimeoutConstant = ct.WriteTotalTimeoutConstant;
  return true;
}

bool SerialSetTimeouts(TSerialLine Line, const TSerialTimeouts& Timeouts) {
  if (!Line) return false;
  COMMTIMEOUTS ct{};
  ct.ReadIntervalTimeout = Timeouts.ReadIntervalTimeout;
  ct.ReadTotalTimeoutMultiplier = Timeouts.ReadTotalTimeoutMultiplier;
  ct.ReadTotalTimeoutConstant = Timeouts.ReadTotalTimeoutConstant;
  ct.WriteTotalTimeoutMultiplier = Timeouts.WriteTotalTimeoutMultiplier;
  ct.WriteTotalTimeoutConstant = Timeouts.WriteTotalTimeoutConstant;
  return SetCommTimeouts(Line->Handle, &ct) != 0;
}

bool SerialSetupQueues(TSerialLine Line, uint32_t InputSize, uint32_t OutputSize) {
  if (!Line) return false;
  return SetupComm(Line->Handle, InputSize, OutputSize) != 0;
}

bool SerialPurge(TSerialLine Line) {
  if (!Line) return false;
  return PurgeComm(Line->Handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) !=
         0;
}

bool SerialRead(TSerialLine Line, void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!Line) return false;
  DWORD n = 0;
  BOOL ok = ReadFile(Line->Handle, Buf, Count, &n, nullptr);
  Got = ok ? n : 0;
  return ok != 0;
}

bool SerialWrite(TSerialLine Line, const void* Buf, uint32_t Count, uint32_t& Written) {
  Written = 0;
  if (!Line) return false;
  DWORD n = 0;
  BOOL ok = WriteFile(Line->Handle, Buf, Count, &n, nullptr);
  Written = ok ? n : 0;
  return ok != 0;
}

void SerialClose(TSerialLine Line) {
  if (!Line) return;
  CloseHandle(Line->Handle);
  delete Line;
}

}  // namespace platform
