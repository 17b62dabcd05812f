// Types shared by the device drivers, the registry and the plug-in interface: the kind of a
// device, one directory entry as a device lists it, and the user's settings for the devices.
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

// How many file entries of one PortaPack listing get their sizes asked, unless set otherwise.
constexpr uint32_t kDefaultPortapackSizes = 300;

// What the user set for the devices. The plug-in reads its settings file and hands these to each
// device it uses; the devices never read the file themselves.
struct TDeviceSettings {
  // A PortaPack lists names only: the size of each file is one "filesize" round trip. Listings
  // of more files than this keep size 0 for them; 0 asks for none.
  uint32_t PortapackSizes = kDefaultPortapackSizes;
  // After a transfer that ended well, the device's checksum of its file is compared with the one
  // of the bytes that crossed the line; a difference fails the transfer. The device reads the
  // whole file once more for it.
  bool Verify = true;
};
