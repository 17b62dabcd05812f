// The shell device base: construction, the port-closing Disconnect and the remote path rule.
#include "devices/uDeviceBase.h"

TShellDevice::TShellDevice(const std::string& APortName) : PortName(APortName) {}

TShellDevice::~TShellDevice() {
  // Only the base Disconnect is reachable here; subclasses have run their own already (see the
  // header). This closes the port if nothing else did.
  TShellDevice::Disconnect();
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
