// The Windows port scan reading registry values, over the in-memory registry of the unit tests.
// Input: pieces separated by "\xFF\xFF", each one value: byte 0 says where it goes (bits 0-2:
// PortName, FriendlyName, DeviceDesc or HardwareID of a device instance, or from 4 on a SERIALCOMM
// entry; bits 3-4: which of four instances or entries), byte 1 its type (REG_SZ, REG_EXPAND_SZ,
// REG_MULTI_SZ, REG_BINARY, REG_DWORD or none), the rest its data, terminated or not. Checked: each
// string value reads as its bytes up to the first zero, every key opened is closed, every port
// listed has a name and is listed once, and the USB ids agree with the hardware id.
#include <set>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "MemoryRegistry.h"
#include "platform/PortDiscovery.h"
#include "serial/uComScan.h"

namespace {

const char* const kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Instances where the scan looks: below the USB and FTDIBUS roots, and one that only the walk of
// the whole Enum tree finds.
const char* const kInstances[4] = {
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1D50&PID_6018&MI_00\\7&1a2b3c&0&0000",
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0483&PID_5740\\flip_Fuzz",
    "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000",
    "SYSTEM\\CurrentControlSet\\Enum\\ACPI\\PNP0501\\0",
};
const char* const kInstanceValues[4] = {"PortName", "FriendlyName", "DeviceDesc", "HardwareID"};
const uint32_t kTypes[6] = {platform::kRegSz,     platform::kRegExpandSz, platform::kRegMultiSz,
                            platform::kRegBinary, platform::kRegDword,    platform::kRegNone};

bool IsString(uint32_t Type) {
  return Type == platform::kRegSz || Type == platform::kRegExpandSz ||
         Type == platform::kRegMultiSz;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  TMemoryRegistry registry;
  for (const std::string& piece : fuzz::SplitInput(Data, Size, "\xFF\xFF")) {
    if (piece.size() < 2) continue;
    const auto where = static_cast<uint8_t>(piece[0]);
    const uint32_t type = kTypes[static_cast<uint8_t>(piece[1]) % 6];
    const std::string data = piece.substr(2);
    const size_t instance = (where >> 3) & 3;
    const size_t slot = where & 7;
    if (slot >= 4) {
      // Up to four entries (bits 3-4 name it; a repeated name replaces the value): each entry
      // walks the instance tree, and more would only slow the fuzzing down.
      registry.SetRaw(kSerialComm, "\\Device\\Serial" + std::to_string(instance), type, data);
    } else if (slot == 0) {
      registry.SetRaw(std::string(kInstances[instance]) + "\\Device Parameters", "PortName", type,
                      data);
    } else {
      registry.SetRaw(kInstances[instance], kInstanceValues[slot], type, data);
    }
  }

  // Each value of the first instance read directly.
  const platform::TRegKey key = registry.OpenKey(kInstances[0]);
  if (key != 0) {
    for (const TMemoryRegistry::TValue& value : registry.Create(kInstances[0]).Values) {
      std::string text;
      const bool read = ReadRegString(registry, key, value.Name, text);
      FUZZ_CHECK(read == (IsString(value.Type) && !value.Data.empty()),
                 "ReadRegString's result for type " + std::to_string(value.Type));
      if (read)
        FUZZ_CHECK(text == value.Data.substr(0, value.Data.find('\0')),
                   "ReadRegString read " + fuzz::Shown(text));
    }
    registry.CloseKey(key);
  }

  const TComPortInfos ports =
      EnumerateComPortsFrom(registry, [](const std::string&) { return true; });
  FUZZ_CHECK(registry.OpenKeys.empty() && registry.BadCloses == 0, "a registry key left open");
  std::set<std::string> names;
  for (const TComPortInfo& port : ports) {
    FUZZ_CHECK(!port.PortName.empty(), "a port without a name");
    FUZZ_CHECK(names.insert(port.PortName).second, "a port listed twice");
    uint16_t vid = 0, pid = 0;
    ParseVidPid(port.HardwareID, vid, pid);
    FUZZ_CHECK(vid == port.VID && pid == port.PID, "ids that are not the hardware id's");
  }
  return 0;
}
