// The port scan on Linux: USB serial ports from sysfs, with the same records and log lines as the
// registry scan. A tty belongs to a USB port when its device directory lies below a USB device (the
// nearest ancestor that holds idVendor and idProduct), which is where USB interfaces sit.
#include "platform/Platform.h"
#include "platform/PortDiscovery.h"
#include "platform/PortName.h"
#include "serial/uComScan.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// sysfs attributes are at most one page; anything longer is not an attribute of a real device.
constexpr size_t kMaxAttributeSize = 4096;
// Bounds the walk from a tty's device up to its USB device, whatever links a tree holds.
constexpr int kMaxAncestorSteps = 64;
// Real product and serial strings are far shorter; a root folder name keeps well inside 259.
constexpr size_t kMaxUsbStringBytes = 100;

void Log(const std::string& Line) {
  ComScanLog(Line);
}

bool IsRegularFile(const fs::path& Path) {
  std::error_code ec;
  return fs::is_regular_file(Path, ec);
}

// The attribute's text without the line end sysfs appends, cut at a zero byte; empty when the file
// is missing or not a regular file (a FIFO or device would block or have side effects).
std::string ReadAttribute(const fs::path& Path) {
  if (!IsRegularFile(Path)) return {};
  std::ifstream in(Path, std::ios::binary);
  if (!in) return {};
  std::string text(kMaxAttributeSize, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The USB product and serial strings come from the device itself and end up in folder names (a
// Flipper's serial string is its name) and in log lines. A "/" or "\" would split the name where
// the host hands it back, a control character garbles it, and a name longer than the host's 259
// characters is cut and then matches no folder. So such bytes become "_", and the text is cut to
// kMaxUsbStringBytes without splitting a UTF-8 character (Double Commander reads names as UTF-8).
std::string UsbStringForName(std::string Text) {
  for (char& c : Text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 32 || byte == 127) c = '_';
  }
  if (Text.size() > kMaxUsbStringBytes) {
    size_t cut = kMaxUsbStringBytes;
    while (cut > 0 && (static_cast<unsigned char>(Text[cut]) & 0xC0) == 0x80) --cut;
    Text.resize(cut);
  }
  return Text;
}

// idVendor / idProduct hold four hexadecimal digits; anything else gives 0.
uint16_t ReadUsbId(const fs::path& Path) {
  std::string text = ReadAttribute(Path);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  text.erase(0, start);
  if (text.empty() || text.size() > 4) return 0;
  return static_cast<uint16_t>(ParseHex(text, 0));
}

// QUARNEL_SYSFS_ROOT (default /sys), with its links resolved where it exists.
fs::path SysfsRoot() {
  std::string rootText = platform::GetEnv("QUARNEL_SYSFS_ROOT");
  if (rootText.empty()) rootText = "/sys";
  std::error_code ec;
  fs::path root = fs::canonical(fs::path(rootText), ec);
  return ec ? fs::path(rootText) : root;
}

struct TCandidate {
  std::string Name;
  fs::path UsbDevice;
};

// The USB device above a tty's device directory, or an empty path when the tty is not on USB.
fs::path FindUsbDevice(const fs::path& DeviceLink, const fs::path& Root) {
  std::error_code ec;
  const fs::path device = fs::canonical(DeviceLink, ec);
  if (ec) return {};
  fs::path current = device;
  for (int step = 0; step < kMaxAncestorSteps; ++step) {
    if (IsRegularFile(current / "idVendor") && IsRegularFile(current / "idProduct"))
      // The device itself being the USB device means no interface in between: not a USB port.
      return current == device ? fs::path() : current;
    if (current == Root || !current.has_relative_path()) break;
    const fs::path parent = current.parent_path();
    if (parent == current) break;
    current = parent;
  }
  return {};
}

}  // namespace

bool PortNameLess(const std::string& A, const std::string& B) {
  size_t i = 0, j = 0;
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < A.size() && j < B.size()) {
    const bool digitA = isDigit(A[i]), digitB = isDigit(B[j]);
    if (digitA != digitB) return digitA;  // numbers before text at the same place
    if (digitA) {
      size_t endA = i, endB = j;
      while (endA < A.size() && isDigit(A[endA])) ++endA;
      while (endB < B.size() && isDigit(B[endB])) ++endB;
      while (i + 1 < endA && A[i] == '0') ++i;
      while (j + 1 < endB && B[j] == '0') ++j;
      if (endA - i != endB - j) return endA - i < endB - j;
      const int order = A.compare(i, endA - i, B, j, endB - j);
      if (order != 0) return order < 0;
      i = endA;
      j = endB;
    } else {
      if (A[i] != B[j]) return static_cast<unsigned char>(A[i]) < static_cast<unsigned char>(B[j]);
      ++i;
      ++j;
    }
  }
  if (i == A.size() && j < B.size()) return true;
  if (j == B.size() && i < A.size()) return false;
  return A < B;  // equal as numbers (ttyS01, ttyS1): keep a strict order
}

TComPortInfos EnumerateComPortsSysfs(const TPortFilter& ProbeOnly) {
  TComPortInfos result;
  Log("--- EnumerateComPorts start ---");

  const fs::path root = SysfsRoot();
  const fs::path ttyClass = root / "class" / "tty";

  std::vector<TCandidate> candidates;
  std::error_code ec;
  fs::directory_iterator it(ttyClass, ec);
  if (ec) {
    Log(ttyClass.string() + " konnte nicht geoeffnet werden");
    return result;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    fs::path usbDevice = FindUsbDevice(it->path() / "device", root);
    if (!usbDevice.empty()) candidates.push_back({name, std::move(usbDevice)});
  }
  // sysfs lists in no useful order; natural order keeps ttyACM2 before ttyACM10 and stays stable
  // from one scan to the next.
  std::sort(candidates.begin(), candidates.end(),
            [](const TCandidate& a, const TCandidate& b) { return PortNameLess(a.Name, b.Name); });

  for (const TCandidate& candidate : candidates) {
    TComPortInfo info;
    info.PortName = candidate.Name;
    info.FriendlyName = UsbStringForName(ReadAttribute(candidate.UsbDevice / "product"));
    info.InstanceId = UsbStringForName(ReadAttribute(candidate.UsbDevice / "serial"));
    info.DeviceKey = candidate.UsbDevice.string();
    info.VID = ReadUsbId(candidate.UsbDevice / "idVendor");
    info.PID = ReadUsbId(candidate.UsbDevice / "idProduct");
    info.HardwareID = "USB\\VID_" + UsbIdHex(info.VID) + "&PID_" + UsbIdHex(info.PID);
    result.push_back(std::move(info));
  }
  result = DropGhostPorts(std::move(result), IsPortPresent, ProbeOnly);
  for (const TComPortInfo& info : result) {
    Log("-> Port: " + info.PortName);
    LogPortDetails(info);
  }
  Log("--- EnumerateComPorts fertig, " + std::to_string(result.size()) + " Ports ---");
  return result;
}

bool IsPortListedSysfs(const std::string& PortName) {
  if (!platform::IsPortName(PortName)) return false;
  std::error_code ec;
  return fs::exists(SysfsRoot() / "class" / "tty" / PortName, ec);
}
