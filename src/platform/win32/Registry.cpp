// Windows side of port discovery: the registry read through the ANSI calls in the 64-bit view, and
// the presence test of a COM port by opening it.
#include "platform/PortDiscovery.h"
#include "platform/PortName.h"

#include <windows.h>

namespace platform {

namespace {

HKEY ToHandle(TRegKey Key) {
  return reinterpret_cast<HKEY>(Key);
}

class TWin32Registry final : public IRegistryAccess {
 public:
  TRegKey OpenKey(const std::string& Path) override {
    HKEY key = nullptr;
    // KEY_WOW64_64KEY: a 32-bit build would otherwise be redirected to the WOW6432Node view, which
    // does not carry the device instances of the 64-bit system.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS ||
        key == nullptr)
      return 0;
    return reinterpret_cast<TRegKey>(key);
  }

  int32_t EnumValue(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength, uint32_t& Type,
                    uint8_t* Data, uint32_t& DataSize) override {
    DWORD nameLength = NameLength;
    DWORD type = 0;
    DWORD dataSize = DataSize;
    LONG rc = RegEnumValueA(ToHandle(Key), Index, Name, &nameLength, nullptr, &type,
                            reinterpret_cast<LPBYTE>(Data), &dataSize);
    NameLength = nameLength;
    Type = type;
    DataSize = dataSize;
    return static_cast<int32_t>(rc);
  }

  int32_t EnumKey(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength) override {
    DWORD nameLength = NameLength;
    LONG rc =
        RegEnumKeyExA(ToHandle(Key), Index, Name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    NameLength = nameLength;
    return static_cast<int32_t>(rc);
  }

  int32_t QueryValue(TRegKey Key, const std::string& ValueName, uint32_t& Type, uint8_t* Data,
                     uint32_t& DataSize) override {
    DWORD type = 0;
    DWORD dataSize = DataSize;
    LONG rc = RegQueryValueExA(ToHandle(Key), ValueName.c_str(), nullptr, &type,
                               reinterpret_cast<LPBYTE>(Data), &dataSize);
    Type = type;
    DataSize = dataSize;
    return static_cast<int32_t>(rc);
  }

  void CloseKey(TRegKey Key) override {
    if (Key != 0) RegCloseKey(ToHandle(Key));
  }
};

}  // namespace

std::unique_ptr<IRegistryAccess> CreateSystemRegistry() {
  return std::make_unique<TWin32Registry>();
}

TPortPresence ProbePort(const std::string& PortName) {
  // A name that could reach some other device or file names no port.
  if (!IsPortName(PortName)) return TPortPresence::Ghost;
  const std::string path = PortDevicePath(PortName);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return TPortPresence::Present;
  }
  // Access denied (the port is open elsewhere, this plug-in included) and every other error mean
  // the device is there; only a missing name makes a ghost.
  DWORD error = GetLastError();
  return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? TPortPresence::Ghost
                                                                          : TPortPresence::Present;
}

}  // namespace platform
