// Win32 serial line: a COM port opened synchronously and without sharing, driven by the comm API.
// The driver applies the COMMTIMEOUTS itself.
#include "platform/SerialLine.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/PortName.h"

namespace platform {

struct TSerialLineState {
  HANDLE Handle = INVALID_HANDLE_VALUE;
};

namespace {

std::string ErrorText(const char* What) {
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "no such port";
  if (error == ERROR_ACCESS_DENIED) return "in use by another program";
  return std::string(What) + " (error " + std::to_string(error) + ")";
}

}  // namespace

TSerialLine SerialOpen(const std::string& Name, std::string& Reason) {
  if (!IsPortName(Name)) {
    Reason = "not a port name";
    return kNoSerialLine;
  }
  const std::string path = PortDevicePath(Name);
  // No sharing: a port that another program has open fails here, as it should.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Reason = ErrorText("cannot be opened");
    return kNoSerialLine;
  }
  auto* line = new TSerialLineState;
  line->Handle = h;
  return line;
}

bool SerialConfigure(TSerialLine Line, uint32_t BaudRate, std::string& Reason) {
  if (!Line) {
    Reason = "the port is not open";
    return false;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(Line->Handle, &dcb)) {
    Reason = ErrorText("the line settings cannot be read");
    return false;
  }
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
  if (!SetCommState(Line->Handle, &dcb)) {
    Reason =
        ErrorText(("the driver refused raw 8N1 at " + std::to_string(BaudRate) + " baud").c_str());
    return false;
  }
  return true;
}

bool SerialGetSettings(TSerialLine Line, TSerialSettings& Settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!Line || !GetCommState(Line->Handle, &dcb)) return false;
  Settings.BaudRate = dcb.BaudRate;
  Settings.DataBits = dcb.ByteSize;
  Settings.Parity = dcb.Parity != NOPARITY;
  Settings.StopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
  Settings.Raw = dcb.fBinary && !dcb.fParity && !dcb.fErrorChar && !dcb.fNull;
  Settings.HardwareFlow = dcb.fOutxCtsFlow || dcb.fOutxDsrFlow ||
                          dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
                          dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
  Settings.SoftwareFlow = dcb.fOutX || dcb.fInX;
  Settings.DtrOn = dcb.fDtrControl == DTR_CONTROL_ENABLE;
  Settings.RtsOn = dcb.fRtsControl == RTS_CONTROL_ENABLE;
  return true;
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
