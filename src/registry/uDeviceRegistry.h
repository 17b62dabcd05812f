// Root entries of the plug-in: which serial ports carry a supported device, the folder names they
// get, and the way back from a folder name to its port. Also the activity stamp that every
// operation touches and the route of connect/disconnect notices to the host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/uDeviceTypes.h"
#include "serial/uComScan.h"

struct TRootEntry {
  std::string Display;  // folder name at the plug-in root; unique per port
  std::string Port;     // COM5, ttyACM0, ...
  std::string FriendlyName;
  std::string FlipperName;  // the Flipper's own name from its instance id; else empty
  uint16_t VID = 0;
  uint16_t PID = 0;
  TDeviceKind Kind = dkNone;  // never dkNone in a listed entry
  bool HasShell = false;
  std::string Description;
};
using TRootEntries = std::vector<TRootEntry>;

// Decides the device kind of a serial port from its USB ids, then from its friendly name.
TDeviceKind ClassifyDevice(const std::string& Name, uint16_t VID, uint16_t PID);

// Enumerates the ports afresh, builds the entries in port order and stores them as RootEntries.
// Only ports of a recognised kind get the presence test (see EnumerateComPorts).
TRootEntries ListRoot();
// The stored result of the most recent ListRoot (a copy).
TRootEntries RootEntries();

std::string DisplayToPort(const std::string& RootDisplay);
TDeviceKind KindForDisplay(const std::string& RootDisplay);
std::string FlipperNameFromInstance(const std::string& InstanceId);
std::string RootDisplayName(TDeviceKind Kind, const std::string& Port,
                            const std::string& FlipperName);
std::string RootDescription(TDeviceKind Kind, const std::string& FlipperName,
                            const std::string& FriendlyName);
// The port in a name of the form RootDisplayName gives a PortaPack's or a Flipper's folder
// ("PortaPack (COM5)", "Flipper Zero Name (ttyACM0)"); empty for any other name.
std::string PortOfDeviceFolderName(const std::string& RootDisplay);
// Whether the port exists now (the test seam's list, or IsPortListed), without opening it and
// without a line in the log.
bool PortExists(const std::string& PortName);

// The registry's clock: the system's millisecond tick count, unless a test replaced it.
uint64_t RegistryTickCount();
using TTickSource = uint64_t (*)();
void SetTickSource(TTickSource Source);  // null restores the system's

// Activity stamp (milliseconds of RegistryTickCount).
void MarkActivity();
uint64_t LastActivity();
void SetLastActivity(uint64_t Tick);
// Milliseconds since the last activity. The stamp is read before the clock, and a stamp newer than
// the clock's reading (another thread marked activity in between) counts as no idle time, never as
// a difference that wraps round.
uint64_t IdleTimeMs();

// Connect and disconnect notices.
using TConnectNotifier = void (*)(int32_t MsgType, const std::string& Text);
void SetConnectNotify(TConnectNotifier Proc);
void NotifyConnect(const std::string& RootDisplay);
void NotifyDisconnect(const std::string& RootDisplay);

// Start-up and shut-down of the registry's state.
void RegistryStartup();
void RegistryShutdown();

// Test seam: replaces the port enumeration used by ListRoot (null restores the real one). It is
// given the filter of the ports that get the presence test.
using TPortEnumerator = TComPortInfos (*)(const TPortFilter& ProbeOnly);
void SetPortEnumerator(TPortEnumerator Enumerator);
// The ports as the registry sees them: a fresh scan, or the test seam's list.
std::vector<TComPortInfo> ScanPorts();
