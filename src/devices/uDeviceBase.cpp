// The shell device base: construction, the port-closing Disconnect and the remote path rule.
#include "devices/uDeviceBase.h"

#include <algorithm>
#include <cstdio>

#include "devices/uDeviceLog.h"
#include "platform/Platform.h"
#include "util/uDebugLog.h"

namespace {

// How long a kept answer stays fresh: the existence test and the upload that follows it come
// within microseconds of each other.
constexpr uint64_t kFreshAnswerMs = 1000;

// The slowest the devices' cards are expected to read (the Flipper's card runs in SPI mode at
// 120 to 180 KB/s), and the longest any command is waited for.
constexpr uint64_t kCardBytesPerSecond = 64 * 1024;
constexpr uint64_t kMaxCardPassMs = 3600000;

}  // namespace

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

int32_t TShellDevice::TypeLine(const std::string& Line) {
  std::string stale;
  SerialPort.Drain(stale, 0);
  if (!stale.empty())
    DebugLogData("dropped before a command", stale.data(),
                 static_cast<int32_t>(std::min<size_t>(stale.size(), 0x7FFFFFFF)));
  ++LinesTyped_;
  return SerialPort.WriteStr(Line);
}

TShellDevice::TAnswerMark TShellDevice::MarkAnswer() const {
  return {LinesTyped_, platform::TickCountMs()};
}

bool TShellDevice::IsFresh(const TAnswerMark& Mark) const {
  return InStep_ && Mark.Lines == LinesTyped_ &&
         platform::TickCountMs() - Mark.Tick < kFreshAnswerMs;
}

uint32_t TShellDevice::CardPassWaitMs(uint32_t BaseMs, int64_t Bytes) {
  // Beyond this many bytes the wait is the longest anyway (and the product below stays small).
  const uint64_t bytes = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(Bytes, 0)),
                                            kMaxCardPassMs * kCardBytesPerSecond / 1000);
  const uint64_t readMs = bytes * 1000 / kCardBytesPerSecond;
  return static_cast<uint32_t>(std::min<uint64_t>(BaseMs + readMs, kMaxCardPassMs));
}

bool TShellDevice::CopyVerified(const std::string& Word, TCopyDirection Direction,
                                const std::string& Path, const std::string& Algorithm,
                                const std::string& OnDevice, const std::string& OfCopy) {
  if (OnDevice == OfCopy) {
    DeviceLog(Word + " verified " + Path + ": " + Algorithm + " " + OnDevice);
    return true;
  }
  if (Direction == TCopyDirection::Upload)
    LastError = "The copy on the device differs from the local file: " + Path + " has " +
                Algorithm + " " + OnDevice + " on the device, the local file " + OfCopy;
  else
    LastError = "The copy of " + Path + " differs from the file on the device (" + Algorithm +
                " on the device " + OnDevice + ", of the copy " + OfCopy + "); it was not kept";
  DeviceLog(Word + " verify: " + LastError);
  return false;
}

bool TShellDevice::CopyNotVerified(const std::string& Word, const std::string& Path,
                                   const std::string& Why) {
  LastError = "Cannot verify the copy of " + Path + ": " + Why;
  DeviceLog(Word + " verify: " + LastError);
  return false;
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
