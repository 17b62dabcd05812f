#include "registry/uDeviceRegistry.h"

#include <atomic>
#include <mutex>

#include "platform/Platform.h"
#include "platform/PortName.h"
#include "registry/uDeviceCache.h"
#include "serial/uComScan.h"
#include "util/uLibraryObject.h"
#include "util/uStrUtils.h"

namespace {

constexpr int32_t kMsgTypeConnect = 1;
constexpr int32_t kMsgTypeDisconnect = 2;

// The stored root list is replaced by ListRoot on the host's thread and read by lookups that may
// run on another; a small lock keeps the swap and the copy apart. The store is a library object
// (the lifetime rule in plugin/uLibrary.h), released by RegistryShutdown.
struct TRootStore {
  std::mutex Lock;
  TRootEntries Roots;
};
TLibraryObject<TRootStore> RootStore;
TRootStore& Store() {
  return RootStore.Get();
}

std::atomic<uint64_t> ActivityStamp{0};
std::atomic<TConnectNotifier> ConnectNotifier{nullptr};
std::atomic<TPortEnumerator> PortEnumerator{nullptr};
std::atomic<TTickSource> TickSource{nullptr};

const TRootEntry* FindByDisplay(const TRootEntries& roots, const std::string& display) {
  for (const TRootEntry& entry : roots)
    if (entry.Display == display) return &entry;
  return nullptr;
}

// The host takes the text after "CONNECT " as the connection's path and hands it back to
// FsDisconnect; it is written with the host's own separator ("\" on Windows, "/" on Linux).
std::string NoticePath(const std::string& display) {
  return std::string(1, platform::PathSeparator()) + display;
}

// Opening a port can reset a board that resets on DTR, and an outgoing Bluetooth port can block
// the open for seconds: only ports that the root would list are opened for the ghost test.
bool WouldBeListed(const TComPortInfo& Port) {
  return ClassifyDevice(Port.FriendlyName, Port.VID, Port.PID) != dkNone;
}

}  // namespace

TDeviceKind ClassifyDevice(const std::string& Name, uint16_t VID, uint16_t PID) {
  // USB ids decide first: a HackRF stays a HackRF whatever its friendly name claims.
  if (VID == 0x1D50 && PID == 0x6018) return dkPortapack;
  if (VID == 0x1D50 && PID == 0x6089) return dkHackRF;
  if (VID == 0x0483 && PID == 0x5740) return dkFlipper;
  const std::string upper = UpperAscii(Name);
  if (Contains(upper, "PORTAPACK") || Contains(upper, "MAYHEM")) return dkPortapack;
  if (Contains(upper, "HACKRF")) return dkHackRF;
  if (Contains(upper, "FLIPPER")) return dkFlipper;
  return dkNone;
}

std::string FlipperNameFromInstance(const std::string& InstanceId) {
  if (UpperAscii(InstanceId.substr(0, 5)) != "FLIP_") return {};
  return InstanceId.substr(5);
}

std::string RootDisplayName(TDeviceKind Kind, const std::string& Port,
                            const std::string& FlipperName) {
  switch (Kind) {
    case dkPortapack:
      return "PortaPack (" + Port + ")";
    case dkHackRF:
      return "HackRF One (" + Port + ", no shell)";
    case dkFlipper:
      if (!FlipperName.empty()) return "Flipper Zero " + FlipperName + " (" + Port + ")";
      return "Flipper Zero (" + Port + ")";
    default:
      return {};
  }
}

std::string RootDescription(TDeviceKind Kind, const std::string& FlipperName,
                            const std::string& FriendlyName) {
  switch (Kind) {
    case dkPortapack:
      return "PortaPack/Mayhem ChibiOS shell";
    case dkHackRF:
      return "HackRF One without PortaPack - no serial shell available";
    case dkFlipper:
      if (!FlipperName.empty()) return "Flipper Zero \"" + FlipperName + "\"";
      return "Flipper Zero";
    default:
      return FriendlyName;
  }
}

std::string PortOfDeviceFolderName(const std::string& RootDisplay) {
  const size_t open = RootDisplay.rfind(" (");
  if (open == std::string::npos || RootDisplay.back() != ')') return {};
  const std::string port = RootDisplay.substr(open + 2, RootDisplay.size() - open - 3);
  const std::string kind = RootDisplay.substr(0, open);
  const std::string flipper = "Flipper Zero";
  const bool named =
      kind.size() > flipper.size() + 1 && kind.compare(0, flipper.size() + 1, flipper + " ") == 0;
  if (!platform::IsPortName(port) || (kind != "PortaPack" && kind != flipper && !named)) return {};
  return port;
}

bool PortExists(const std::string& PortName) {
  if (TPortEnumerator enumerate = PortEnumerator.load()) {
    for (const TComPortInfo& port : enumerate([](const TComPortInfo&) { return false; }))
      if (port.PortName == PortName) return true;
    return false;
  }
  return IsPortListed(PortName);
}

TComPortInfos ScanPorts() {
  TPortEnumerator enumerate = PortEnumerator.load();
  return enumerate ? enumerate(WouldBeListed) : EnumerateComPorts(WouldBeListed);
}

TRootEntries ListRoot() {
  TComPortInfos ports = ScanPorts();

  std::vector<std::string> portNames;
  portNames.reserve(ports.size());
  for (const TComPortInfo& port : ports) portNames.push_back(port.PortName);
  SweepStaleDevices(portNames);  // cached connections whose port has gone

  TRootEntries result;
  result.reserve(ports.size());
  for (const TComPortInfo& port : ports) {
    TDeviceKind kind = ClassifyDevice(port.FriendlyName, port.VID, port.PID);
    if (kind == dkNone) continue;
    TRootEntry entry;
    entry.Port = port.PortName;
    entry.FriendlyName = port.FriendlyName;
    entry.VID = port.VID;
    entry.PID = port.PID;
    entry.Kind = kind;
    entry.HasShell = kind == dkPortapack || kind == dkFlipper;
    if (kind == dkFlipper) entry.FlipperName = FlipperNameFromInstance(port.InstanceId);
    entry.Display = RootDisplayName(kind, entry.Port, entry.FlipperName);
    entry.Description = RootDescription(kind, entry.FlipperName, entry.FriendlyName);
    result.push_back(std::move(entry));
  }

  std::lock_guard<std::mutex> guard(Store().Lock);
  Store().Roots = result;
  return result;
}

TRootEntries RootEntries() {
  std::lock_guard<std::mutex> guard(Store().Lock);
  return Store().Roots;
}

std::string DisplayToPort(const std::string& RootDisplay) {
  {
    std::lock_guard<std::mutex> guard(Store().Lock);
    if (const TRootEntry* entry = FindByDisplay(Store().Roots, RootDisplay)) return entry->Port;
  }
  // A name the host remembers from an earlier run: read the port out of the parentheses. Linux
  // port names (ttyACM0) take the place of COMn there.
  size_t open = RootDisplay.find("(COM");
  if (open == std::string::npos) open = RootDisplay.find("(tty");
  if (open == std::string::npos) return {};
  size_t close = RootDisplay.find(',');
  if (close == std::string::npos) close = RootDisplay.find(')');
  if (close == std::string::npos || close <= open) return {};
  return RootDisplay.substr(open + 1, close - open - 1);
}

TDeviceKind KindForDisplay(const std::string& RootDisplay) {
  std::lock_guard<std::mutex> guard(Store().Lock);
  const TRootEntry* entry = FindByDisplay(Store().Roots, RootDisplay);
  return entry ? entry->Kind : dkNone;
}

uint64_t RegistryTickCount() {
  TTickSource source = TickSource.load();
  return source ? source() : platform::TickCountMs();
}
void SetTickSource(TTickSource Source) {
  TickSource.store(Source);
}

void MarkActivity() {
  ActivityStamp.store(RegistryTickCount());
}
uint64_t LastActivity() {
  return ActivityStamp.load();
}
void SetLastActivity(uint64_t Tick) {
  ActivityStamp.store(Tick);
}
uint64_t IdleTimeMs() {
  const uint64_t last = LastActivity();
  const uint64_t now = RegistryTickCount();
  return now > last ? now - last : 0;
}

void SetConnectNotify(TConnectNotifier Proc) {
  ConnectNotifier.store(Proc);
}

void NotifyConnect(const std::string& RootDisplay) {
  if (TConnectNotifier notify = ConnectNotifier.load())
    notify(kMsgTypeConnect, "CONNECT " + NoticePath(RootDisplay));
}

void NotifyDisconnect(const std::string& RootDisplay) {
  if (TConnectNotifier notify = ConnectNotifier.load())
    notify(kMsgTypeDisconnect, "DISCONNECT " + NoticePath(RootDisplay));
}

void SetPortEnumerator(TPortEnumerator Enumerator) {
  PortEnumerator.store(Enumerator);
}

void RegistryStartup() {
  MarkActivity();
}

void RegistryShutdown() {
  ConnectNotifier.store(nullptr);
  RootStore.Release();
}
