// Types shared by the device drivers, the registry and the plug-in interface: the kind of a
// device and one directory entry as a device lists it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class TDeviceKind : uint8_t { dkNone = 0, dkPortapack = 1, dkHackRF = 2, dkFlipper = 3 };
using enum TDeviceKind;

// Windows FILETIME words: 100-ns units since 1601-01-01 UTC.
struct TFileTime {
  uint32_t Low = 0;
  uint32_t High = 0;
};

struct TShellFileEntry {
  std::string Name;  // without any directory part
  bool IsDir = false;
  int64_t Size = 0;  // bytes; 0 for directories
  bool HasTime = false;
  TFileTime Time;
};
using TShellFileEntries = std::vector<TShellFileEntry>;
