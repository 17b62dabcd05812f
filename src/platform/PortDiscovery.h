// The port-discovery seam: read-only access to the Windows registry, as the COM port scan needs it,
// and the presence test of a port. The scan works through IRegistryAccess so that unit tests can
// feed it an in-memory registry; no OS header is included here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Result codes of the registry calls. They carry the Win32 numbers on every platform, because the
// scan logs them and tells "no more items" apart from real errors.
constexpr int32_t kRegSuccess = 0;
constexpr int32_t kRegFileNotFound = 2;
constexpr int32_t kRegMoreData = 234;
constexpr int32_t kRegNoMoreItems = 259;

// Value types, with the Win32 numbers.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

// An open key; 0 is never a valid key.
using TRegKey = uintptr_t;

// Read-only registry access below HKEY_LOCAL_MACHINE, with the buffer rules of the Win32 ANSI calls
// (RegOpenKeyExA, RegEnumValueA, RegEnumKeyExA, RegQueryValueExA, RegCloseKey).
class IRegistryAccess {
 public:
  virtual ~IRegistryAccess() = default;

  // Opens Path (relative to HKEY_LOCAL_MACHINE, "\"-separated) for reading in the 64-bit view, so
  // that 32- and 64-bit builds see the same keys. Returns 0 when the key cannot be opened.
  virtual TRegKey OpenKey(const std::string& Path) = 0;

  // The value with the given index. NameLength: in, capacity of Name in characters including the
  // terminating zero; out, characters stored without it. DataSize: in, capacity of Data in bytes;
  // out, bytes stored. A name or data larger than its buffer gives kRegMoreData; an index past the
  // end gives kRegNoMoreItems.
  virtual int32_t EnumValue(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength,
                            uint32_t& Type, uint8_t* Data, uint32_t& DataSize) = 0;

  // The name of the subkey with the given index; NameLength as for EnumValue.
  virtual int32_t EnumKey(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength) = 0;

  // Type and data of a named value. With Data null only Type and the size are returned. DataSize:
  // in, capacity of Data; out, the value's size (also on kRegMoreData, when Data is too small).
  virtual int32_t QueryValue(TRegKey Key, const std::string& ValueName, uint32_t& Type,
                             uint8_t* Data, uint32_t& DataSize) = 0;

  virtual void CloseKey(TRegKey Key) = 0;
};

// The system's registry (Windows), or null on systems that have none; there the ports come from
// sysfs instead.
std::unique_ptr<IRegistryAccess> CreateSystemRegistry();

enum class TPortPresence { Present, Ghost };

// Opens the port's device (PortDevicePath, platform/PortName.h) for reading and closes it at once;
// POSIX without becoming its controlling terminal. Only "no such file or path" means the port is a
// ghost (listed but its device gone); every other failure, such as the port being open elsewhere,
// means it is there. A name that IsPortName refuses names no port and is a ghost.
TPortPresence ProbePort(const std::string& PortName);

}  // namespace platform
