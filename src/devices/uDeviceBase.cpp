// The shell device base: construction, the port-closing Disconnect and the remote path rule.
#include "devices/uDeviceBase.h"

#include <cstdio>

#include "devices/uDeviceLog.h"

TShellDevice::TShellDevice(const std::string& APortName) : PortName(APortName) {}

TShellDevice::~TShellDevice() {
  // Only the base Disconnect is reachable here; owners have run the override already through
  // TShellDevicePtr (see the header). This closes the port if nothing else did.
  TShellDevice::Disconnect();
}

void TShellDevice::MarkOutOfStep(const std::string& Why) {
  if (InStep_) DeviceLog("out of step with the device: " + Why);
  InStep_ = false;
}

void TShellDevice::Disconnect() {
  if (SerialPort.IsOpen()) SerialPort.Close();
}

std::string TShellDevice::NormalizeRemotePath(const std::string& Path) {
  std::string result;
  result.reserve(Path.size() + 1);
  result.push_back('/');
  for (char c : Path) {
    if (c == '\\') c = '/';
    // Runs of slashes, including one at the start after the added one, collapse to one.
    if (c == '/' && result.back() == '/') continue;
    result.push_back(c);
  }
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string TShellDevice::UnsafePathReason(const std::string& Path) {
  for (char c : Path) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      char code[8];
      std::snprintf(code, sizeof(code), "%u", static_cast<unsigned>(byte));
      // The path itself is not repeated: its control character would garble the log line too.
      return std::string("Path contains a control character (byte ") + code +
             "), which the device's shell cannot take in a name";
    }
  }
  return {};
}
