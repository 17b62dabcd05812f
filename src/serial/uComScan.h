// Which serial ports exist right now and what device sits behind each: the port list with USB
// identifiers, from the Windows registry or from Linux sysfs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TComPortInfo {
  std::string PortName;      // COM5 on Windows, ttyACM0 on Linux; never empty in a result
  std::string FriendlyName;  // FriendlyName, else DeviceDesc (Windows); USB product (Linux)
  std::string HardwareID;    // first string of HardwareID; USB\VID_vvvv&PID_pppp on Linux
  std::string InstanceId;    // last component of the instance key; USB serial on Linux
  std::string DeviceKey;     // instance key below HKEY_LOCAL_MACHINE; sysfs device dir on Linux
  uint16_t VID = 0;
  uint16_t PID = 0;
};
using TComPortInfos = std::vector<TComPortInfo>;

using TComScanLogHook = void (*)(const std::string& Line);

// Every log line of the port scan goes through this hook; null means silent.
extern TComScanLogHook ComScanLogProc;

// The present ports in discovery order, without ghosts and duplicates. Never fails.
TComPortInfos EnumerateComPorts();
