// Which serial ports exist right now and what device sits behind each: the port list with USB
// identifiers, from the Windows registry or from Linux sysfs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "util/uLogHook.h"

namespace platform {
class IRegistryAccess;
}

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

// Every log line of the port scan goes through this hook; null means silent.
extern TLogHookSlot ComScanLogProc;

// Which ports get the presence test, which opens the port: opening resets a board that resets on
// DTR, and an outgoing Bluetooth port can block the open for seconds, so a caller names the ports
// it would use. The others stay in the result untested, with the line
// "-> Port nicht geprueft (kein bekanntes Geraet): " + port. A null filter tests every port.
using TPortFilter = std::function<bool(const TComPortInfo& Port)>;

// The ports in discovery order, without duplicates and without the ghosts that the presence test
// found. Never fails. Windows reads the registry (EnumerateComPortsFrom), other systems sysfs
// (EnumerateComPortsSysfs).
TComPortInfos EnumerateComPorts(const TPortFilter& ProbeOnly = nullptr);

// Whether the system lists the port right now, without opening it and without a line in the log:
// a SERIALCOMM value names it (Windows), or QUARNEL_SYSFS_ROOT/class/tty/NAME exists (elsewhere).
// A name that platform::IsPortName refuses is never listed.
bool IsPortListed(const std::string& PortName);
// Its two halves (SERIALCOMM letter case does not matter).
bool IsPortListedIn(platform::IRegistryAccess& Registry, const std::string& PortName);
bool IsPortListedSysfs(const std::string& PortName);

// True when the port's device is there (platform::ProbePort): the ghost test.
bool IsPortPresent(const std::string& PortName);
using TPortPresenceTest = std::function<bool(const std::string& PortName)>;

// The registry scan: ports from HARDWARE\DEVICEMAP\SERIALCOMM in value order, each looked up among
// the device instances under SYSTEM\CurrentControlSet\Enum; ports of ProbeOnly that IsPresent
// rejects and repeated port names are dropped.
TComPortInfos EnumerateComPortsFrom(platform::IRegistryAccess& Registry,
                                    const TPortPresenceTest& IsPresent,
                                    const TPortFilter& ProbeOnly = nullptr);

// The sysfs scan: every QUARNEL_SYSFS_ROOT/class/tty/NAME (default /sys) whose device sits in a USB
// interface, that is below a directory holding idVendor and idProduct (the USB device); in natural
// name order (ttyACM2 before ttyACM10). Presence is tested on QUARNEL_DEV_ROOT/NAME (default /dev).
TComPortInfos EnumerateComPortsSysfs(const TPortFilter& ProbeOnly = nullptr);

// ---- Pieces of the scans, shared by both and exposed for tests ------------------------------

// Passes one line to ComScanLogProc when it is set.
void ComScanLog(const std::string& Line);
// The presence test of both scans: keeps the ports that ProbeOnly declines (logging that they were
// not tested) and those that IsPresent finds, logs and drops the ghosts; order is kept.
TComPortInfos DropGhostPorts(TComPortInfos Ports, const TPortPresenceTest& IsPresent,
                             const TPortFilter& ProbeOnly);
// The four lines that describe a port's instance: friendly name, hardware id, instance id, ids.
void LogPortDetails(const TComPortInfo& Info);
// A USB id as four upper-case hexadecimal digits.
std::string UsbIdHex(uint16_t Value);

// Depth-first search below KeyPath (depth 0) for the instance whose "Device Parameters" value
// PortName equals PortName in any ASCII letter case; keys deeper than eight levels are not
// examined. The four out-values are empty unless a match is found.
bool FindPortInEnum(platform::IRegistryAccess& Registry, const std::string& KeyPath,
                    const std::string& PortName, int Depth, std::string& FriendlyName,
                    std::string& HardwareID, std::string& InstanceId, std::string& DeviceKey);

// One string value of an open key: REG_SZ, REG_EXPAND_SZ (not expanded) or REG_MULTI_SZ (its first
// string), up to the first zero byte. False when the value is missing, has size 0 or another type.
bool ReadRegString(platform::IRegistryAccess& Registry, uintptr_t Key, const std::string& ValueName,
                   std::string& Text);

// USB ids from a hardware id such as USB\VID_1D50&PID_6018&REV_0100: each taken only when exactly
// four hexadecimal digits follow "VID_" / "PID_" (any letter case); 0 otherwise. True when either
// id is non-zero.
bool ParseVidPid(const std::string& HardwareID, uint16_t& VID, uint16_t& PID);

// Hexadecimal digits (either case) to a number, wrapping at 32 bits; Default for an empty text or
// any other character.
uint32_t ParseHex(const std::string& Text, uint32_t Default);

// Natural order of port names: digit runs compare as numbers, so ttyACM2 comes before ttyACM10.
bool PortNameLess(const std::string& A, const std::string& B);
