// The COM port scan over the registry: the live port list from SERIALCOMM, each port's device
// instance from the Enum tree, ghost ports and duplicates dropped, every step logged. The registry
// comes through platform::IRegistryAccess, so the same code runs on Windows and in unit tests.
#include "serial/uComScan.h"

#include "platform/PortDiscovery.h"
#include "platform/PortName.h"
#include "util/uStrUtils.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <vector>

TLogHookSlot ComScanLogProc{nullptr};

namespace {

using platform::IRegistryAccess;
using platform::TRegKey;

const char* const kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// The specific roots first: most USB serial devices sit under USB, FTDI adapters under FTDIBUS.
// The whole Enum tree last, as it is the slowest to walk.
const char* const kEnumRoots[] = {
    "SYSTEM\\CurrentControlSet\\Enum\\USB",
    "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS",
    "SYSTEM\\CurrentControlSet\\Enum\\HID",
    "SYSTEM\\CurrentControlSet\\Enum",
};
constexpr int kMaxEnumDepth = 8;
constexpr uint32_t kNameBufferSize = 512;  // characters, with the terminating zero
constexpr uint32_t kPortDataSize = 256;    // bytes of a SERIALCOMM value

void Log(const std::string& Line) {
  ComScanLog(Line);
}

// Closes its key on every way out of a scope.
class TKeyGuard {
 public:
  TKeyGuard(IRegistryAccess& Registry, TRegKey Key) : Registry_(Registry), Key_(Key) {}
  ~TKeyGuard() { Close(); }
  TKeyGuard(const TKeyGuard&) = delete;
  TKeyGuard& operator=(const TKeyGuard&) = delete;
  TRegKey Get() const { return Key_; }
  explicit operator bool() const { return Key_ != 0; }
  void Close() {
    if (Key_ != 0) Registry_.CloseKey(Key_);
    Key_ = 0;
  }

 private:
  IRegistryAccess& Registry_;
  TRegKey Key_;
};

// Bytes up to the first zero byte within Size.
std::string TextUpToNul(const uint8_t* Data, size_t Size) {
  const uint8_t* end = std::find(Data, Data + Size, uint8_t{0});
  return std::string(reinterpret_cast<const char*>(Data), static_cast<size_t>(end - Data));
}

bool EqualsIgnoreAsciiCase(const std::string& A, const std::string& B) {
  return A.size() == B.size() && UpperAscii(A) == UpperAscii(B);
}

bool IsHexDigit(char C) {
  return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F') || (C >= 'a' && C <= 'f');
}

// Exactly four hexadecimal digits after Tag in Upper, else 0.
uint16_t IdAfterTag(const std::string& Upper, const char* Tag) {
  const size_t at = Upper.find(Tag);
  if (at == std::string::npos) return 0;
  const size_t start = at + 4;
  size_t count = 0;
  while (start + count < Upper.size() && IsHexDigit(Upper[start + count])) ++count;
  if (count != 4) return 0;
  return static_cast<uint16_t>(ParseHex(Upper.substr(start, 4), 0));
}

// One SERIALCOMM entry. The port is kept apart from the value name: value names may contain "=",
// so a joined "name=port" text would not give the port back.
struct TSerialCommEntry {
  std::string ValueName;
  std::string Port;
};

// The SERIALCOMM entries with a port, in value order; false when the key cannot be opened. An
// error while enumerating ends the list early, with its code in EnumError.
bool ReadSerialComm(IRegistryAccess& Registry, std::vector<TSerialCommEntry>& Entries,
                    int32_t& EnumError) {
  EnumError = platform::kRegSuccess;
  TKeyGuard serialComm(Registry, Registry.OpenKey(kSerialCommKey));
  if (!serialComm) return false;
  for (uint32_t index = 0;; ++index) {
    char name[kNameBufferSize] = {};
    uint8_t data[kPortDataSize] = {};
    uint32_t nameLength = kNameBufferSize;
    uint32_t dataSize = kPortDataSize;
    uint32_t type = 0;
    const int32_t rc =
        Registry.EnumValue(serialComm.Get(), index, name, nameLength, type, data, dataSize);
    if (rc == platform::kRegNoMoreItems) break;
    if (rc != platform::kRegSuccess) {
      EnumError = rc;
      break;
    }
    TSerialCommEntry entry;
    entry.ValueName = TextUpToNul(reinterpret_cast<const uint8_t*>(name),
                                  std::min(nameLength, kNameBufferSize - 1));
    entry.Port = TextUpToNul(data, std::min(dataSize, kPortDataSize));
    if (!entry.Port.empty()) Entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace

void ComScanLog(const std::string& Line) {
  CallLogHook(ComScanLogProc, Line);
}

std::string UsbIdHex(uint16_t Value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(Value));
  return text;
}

void LogPortDetails(const TComPortInfo& Info) {
  ComScanLog("   FriendlyName: " + Info.FriendlyName);
  ComScanLog("   HardwareID:   " + Info.HardwareID);
  ComScanLog("   InstanceId:   " + Info.InstanceId);
  ComScanLog("   VID/PID:      $" + UsbIdHex(Info.VID) + "/$" + UsbIdHex(Info.PID));
}

bool IsPortPresent(const std::string& PortName) {
  return platform::ProbePort(PortName) == platform::TPortPresence::Present;
}

TComPortInfos DropGhostPorts(TComPortInfos Ports, const TPortPresenceTest& IsPresent,
                             const TPortFilter& ProbeOnly) {
  TComPortInfos kept;
  kept.reserve(Ports.size());
  for (TComPortInfo& port : Ports) {
    if (ProbeOnly && !ProbeOnly(port)) {
      Log("-> Port nicht geprueft (kein bekanntes Geraet): " + port.PortName);
      kept.push_back(std::move(port));
    } else if (IsPresent && IsPresent(port.PortName)) {
      kept.push_back(std::move(port));
    } else {
      Log("-> Ghost-Port ignoriert: " + port.PortName);
    }
  }
  return kept;
}

uint32_t ParseHex(const std::string& Text, uint32_t Default) {
  if (Text.empty()) return Default;
  uint32_t value = 0;
  for (char c : Text) {
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<uint32_t>(c - 'a' + 10);
    else
      return Default;
    value = (value << 4) | digit;
  }
  return value;
}

bool ParseVidPid(const std::string& HardwareID, uint16_t& VID, uint16_t& PID) {
  const std::string upper = UpperAscii(HardwareID);
  VID = IdAfterTag(upper, "VID_");
  PID = IdAfterTag(upper, "PID_");
  return VID != 0 || PID != 0;
}

bool ReadRegString(IRegistryAccess& Registry, uintptr_t Key, const std::string& ValueName,
                   std::string& Text) {
  Text.clear();
  uint32_t type = 0;
  uint32_t size = 0;
  if (Registry.QueryValue(Key, ValueName, type, nullptr, size) != platform::kRegSuccess ||
      size == 0)
    return false;
  // Two spare zero bytes terminate a string stored without its zero (or a multi-string without
  // its double zero). A size that leaves no room for them cannot be a device's string.
  if (size > UINT32_MAX - 2) return false;
  std::vector<uint8_t> buffer;
  try {
    buffer.assign(static_cast<size_t>(size) + 2, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint32_t returned = size + 2;
  if (Registry.QueryValue(Key, ValueName, type, buffer.data(), returned) != platform::kRegSuccess)
    return false;
  if (type != platform::kRegSz && type != platform::kRegExpandSz && type != platform::kRegMultiSz)
    return false;
  Text = TextUpToNul(buffer.data(), std::min<size_t>(returned, buffer.size()));
  return true;
}

bool FindPortInEnum(IRegistryAccess& Registry, const std::string& KeyPath,
                    const std::string& PortName, int Depth, std::string& FriendlyName,
                    std::string& HardwareID, std::string& InstanceId, std::string& DeviceKey) {
  FriendlyName.clear();
  HardwareID.clear();
  InstanceId.clear();
  DeviceKey.clear();
  if (Depth > kMaxEnumDepth) return false;

  {
    TKeyGuard params(Registry, Registry.OpenKey(KeyPath + "\\Device Parameters"));
    std::string name;
    if (params && ReadRegString(Registry, params.Get(), "PortName", name) &&
        EqualsIgnoreAsciiCase(name, PortName)) {
      DeviceKey = KeyPath;
      const size_t slash = KeyPath.rfind('\\');
      InstanceId = slash == std::string::npos ? KeyPath : KeyPath.substr(slash + 1);
      TKeyGuard instance(Registry, Registry.OpenKey(KeyPath));
      if (instance) {
        if (!ReadRegString(Registry, instance.Get(), "FriendlyName", FriendlyName))
          ReadRegString(Registry, instance.Get(), "DeviceDesc", FriendlyName);
        ReadRegString(Registry, instance.Get(), "HardwareID", HardwareID);
      }
      return true;
    }
  }

  // Collect the subkey names and close the key before descending, so that no ancestor's handle
  // stays open through the recursion.
  std::vector<std::string> subkeys;
  {
    TKeyGuard key(Registry, Registry.OpenKey(KeyPath));
    if (!key) return false;
    for (uint32_t index = 0;; ++index) {
      char name[kNameBufferSize] = {};
      uint32_t length = kNameBufferSize;
      if (Registry.EnumKey(key.Get(), index, name, length) != platform::kRegSuccess) break;
      // Names are C strings within the buffer, whatever length comes back. An empty name would
      // make the child the same key again.
      std::string subkey = TextUpToNul(reinterpret_cast<const uint8_t*>(name),
                                       std::min(length, kNameBufferSize - 1));
      if (!subkey.empty()) subkeys.push_back(std::move(subkey));
    }
  }
  for (const std::string& name : subkeys) {
    if (FindPortInEnum(Registry, KeyPath + "\\" + name, PortName, Depth + 1, FriendlyName,
                       HardwareID, InstanceId, DeviceKey))
      return true;
  }
  return false;
}

TComPortInfos EnumerateComPortsFrom(IRegistryAccess& Registry, const TPortPresenceTest& IsPresent,
                                    const TPortFilter& ProbeOnly) {
  TComPortInfos result;
  Log("--- EnumerateComPorts start ---");

  std::vector<TSerialCommEntry> entries;
  int32_t enumError = platform::kRegSuccess;
  if (!ReadSerialComm(Registry, entries, enumError)) {
    Log("SERIALCOMM key konnte nicht geoeffnet werden");
    return result;
  }
  if (enumError != platform::kRegSuccess) Log("RegEnumValueA Fehler " + std::to_string(enumError));

  // Each port's instance is looked up before the presence test, which needs its ids to leave
  // alone the ports that the caller would not use.
  result.reserve(entries.size());
  for (const TSerialCommEntry& entry : entries) {
    TComPortInfo info;
    info.PortName = entry.Port;
    for (const char* root : kEnumRoots) {
      if (FindPortInEnum(Registry, root, info.PortName, 0, info.FriendlyName, info.HardwareID,
                         info.InstanceId, info.DeviceKey)) {
        ParseVidPid(info.HardwareID, info.VID, info.PID);
        break;
      }
    }
    result.push_back(std::move(info));
  }
  result = DropGhostPorts(std::move(result), IsPresent, ProbeOnly);
  Log("SERIALCOMM-Eintraege: " + std::to_string(result.size()));
  for (const TComPortInfo& info : result) {
    Log("-> Port: " + info.PortName);
    // A found instance always has its key path.
    if (!info.DeviceKey.empty())
      LogPortDetails(info);
    else
      Log("   (keine Enum-Info gefunden)");
  }

  // Duplicates: the first occurrence wins. Exact byte comparison, as SERIALCOMM spells its names.
  size_t kept = 0;
  for (size_t i = 0; i < result.size(); ++i) {
    bool seen = false;
    for (size_t j = 0; j < kept && !seen; ++j) seen = result[j].PortName == result[i].PortName;
    if (seen) {
      Log("-> Duplikat ignoriert: " + result[i].PortName);
      continue;
    }
    if (i != kept) result[kept] = std::move(result[i]);
    ++kept;
  }
  result.resize(kept);
  Log("--- EnumerateComPorts fertig, " + std::to_string(kept) + " Ports ---");
  return result;
}

bool IsPortListedIn(IRegistryAccess& Registry, const std::string& PortName) {
  std::vector<TSerialCommEntry> entries;
  int32_t enumError = platform::kRegSuccess;
  if (!platform::IsPortName(PortName) || !ReadSerialComm(Registry, entries, enumError))
    return false;
  return std::any_of(entries.begin(), entries.end(), [&](const TSerialCommEntry& Entry) {
    return EqualsIgnoreAsciiCase(Entry.Port, PortName);
  });
}

bool IsPortListed(const std::string& PortName) {
  try {
    if (std::unique_ptr<platform::IRegistryAccess> registry = platform::CreateSystemRegistry())
      return IsPortListedIn(*registry, PortName);
    return IsPortListedSysfs(PortName);
  } catch (const std::exception&) {
    return false;
  }
}

TComPortInfos EnumerateComPorts(const TPortFilter& ProbeOnly) {
  try {
    // Only Windows has a port registry; elsewhere the factory gives none and sysfs lists the ports.
    if (std::unique_ptr<platform::IRegistryAccess> registry = platform::CreateSystemRegistry())
      return EnumerateComPortsFrom(*registry, IsPortPresent, ProbeOnly);
    return EnumerateComPortsSysfs(ProbeOnly);
  } catch (const std::exception&) {
    // Out of memory while building the list: the caller gets no ports rather than an exception.
    Log("--- EnumerateComPorts abgebrochen ---");
    return {};
  }
}
