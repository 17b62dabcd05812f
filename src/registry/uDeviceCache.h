// The device cache: one connected device per root folder, created and connected on first use,
// kept between host calls, and dropped on request (FsDisconnect), when its port disappears (the
// stale sweep of a root listing), when the plug-in has been idle too long (the idle watcher) or at
// unload. Connects and disconnects are announced to the host.
//
// How a device is kept in use. GetDevice hands out a TDeviceUse for one exported operation:
// - The lookup counts the slot as in use while it still holds RegistryLock, and the count drops
//   when the TDeviceUse ends. The idle watcher decides under the same lock and leaves the cache
//   alone while any device is in use: an operation in progress is plug-in activity, however long
//   it runs. The end of an operation marks activity again, before the count drops.
// - The TDeviceUse shares ownership of the slot with the cache. A disconnect or stale sweep that
//   meets a busy device takes the slot out of the cache at once (the host sees DISCONNECT), and
//   the device is disconnected and destroyed when the last owner lets go: by the disconnect itself
//   for an idle device (under RegistryLock), or by the operation's own thread when it ends, without
//   RegistryLock, for a busy one. Nothing ever waits under RegistryLock for an operation.
// - The TDeviceUse holds the slot's operation lock: one exported operation at a time talks to a
//   device. A second one waits at most DeviceBusyWaitMs and then fails with a "busy" reason
//   instead of hanging.
// - Browsing while a copy runs (the host lists on its main thread while a transfer runs on
//   another). A transfer is a series of exchanges, and the drivers call the device's block pause
//   between two of them, with the device at its prompt (for the PortaPack its one file still
//   open). The pause the cache installs hands the device, one turn each, to the listings waiting
//   at that moment, and goes on when each has given it back; a listing's turn is a TDeviceUse like
//   any other, but it neither drops nor replaces the device (the transfer still holds it). Only
//   listings take turns: a second transfer, a rename, a delete, anything that opens a file waits
//   for the transfer's end as above. A listing for the host's window waits at most about a second
//   for its turn (TransferTurnWaitMs), and only briefly (UnpausedTransferWaitMs) for a transfer
//   that never pauses (a Flipper download is one command), then answers "busy with a copy" rather
//   than freeze the window. Nothing is handed over after the last block: a transfer's end, and
//   whatever checks it, stays in one piece.
// - An operation that waited for a device that left the cache meanwhile lets go of it, waits
//   (with the same bound) until the old device is destroyed and its port closed, and looks again,
//   once: the device is then connected afresh instead of failing on the plug-in's own open port.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/uDeviceBase.h"

struct TComPortInfo;
struct TOwnedDevice;
class TDeviceLookup;

// What an operation does with its device, which decides how it shares the device with others.
enum class TDeviceTask : uint8_t {
  Other,     // alone: every change, every existence test, anything that opens a file
  Download,  // alone, but lends the device to waiting listings between two blocks
  Upload,
  // A look that changes nothing and opens no file (a listing, a size, the device's description):
  // it may take a turn between two blocks of a transfer. Browse serves the host's window and
  // waits behind a transfer only about a second; BrowseInOperation is a step of a longer operation
  // of the host (a folder copy walking the tree) and waits as that operation's other steps would.
  Browse,
  BrowseInOperation,
};

// One exported operation's use of a cached device: the device held alone, or a listing's turn
// between two blocks of a transfer. Empty when GetDevice found no device (the registry has logged
// why) or when the device stayed busy (Problem() says so).
class TDeviceUse {
 public:
  TDeviceUse() = default;
  ~TDeviceUse();
  TDeviceUse(TDeviceUse&& Other) noexcept;
  TDeviceUse& operator=(TDeviceUse&& Other) noexcept;
  TDeviceUse(const TDeviceUse&) = delete;
  TDeviceUse& operator=(const TDeviceUse&) = delete;

  TShellDevice* get() const;
  TShellDevice* operator->() const { return get(); }
  explicit operator bool() const { return get() != nullptr; }
  // Why there is no device although one is cached (busy, or disconnected while waiting); empty
  // otherwise.
  const std::string& Problem() const { return Problem_; }

 private:
  friend class TDeviceLookup;
  void Release();

  enum class THold : uint8_t { None, Own, Turn };

  std::shared_ptr<TOwnedDevice> Slot_;
  THold Hold_ = THold::None;
  std::string Problem_;
};

// A connected device for the root folder RootDisplay, connecting it on first use, for Task.
TDeviceUse GetDevice(const std::string& RootDisplay, TDeviceTask Task = TDeviceTask::Other);
// A new, unconnected device of the port's kind; null for kinds without a shell.
TShellDevicePtr CreateDeviceForPort(const std::string& PortName, const std::string& FriendlyName,
                                    uint16_t VID, uint16_t PID);
// Closes and forgets every cached device opened for RootDisplay.
void DisconnectDevice(const std::string& RootDisplay);
// Drops every cached device whose port is not in PortNames (compared without letter case).
void SweepStaleDevices(const std::vector<std::string>& PortNames);
// The idle watcher's disconnect of everything, unless there was recent activity or a device is in
// use, or Terminated (the watcher's flag, looked at under RegistryLock) says the unload has begun.
void DisconnectAllNotify(const std::atomic<bool>* Terminated = nullptr);
// Text of the last failed Connect; empty after a successful one.
std::string LastConnectError();

// What the idle watcher reads under RegistryLock: the number of cached devices, and whether any of
// them is in use.
struct TCacheCount {
  size_t Devices = 0;
  bool AnyInUse = false;
};
TCacheCount CountCachedDevices();

// Start-up creates RegistryLock and the empty cache; shut-down destroys every slot from the last to
// the first (devices disconnected, no notices, no lock taken) and releases the rest.
void DeviceCacheStartup();
void DeviceCacheShutdown();
// Enters RegistryLock and leaves it at once: waits for a disconnect in progress (shut-down).
void WaitForRegistryLock();

// The idle watcher's check period and the idle time after which it disconnects everything.
constexpr uint32_t kIdleCheckPeriodMs = 30000;
constexpr uint64_t kIdleLimitMs = 300000;
// How long an operation waits for a device that another operation is using.
constexpr uint32_t kDeviceBusyWaitMs = 10000;
// How long a Browse waits for its turn between two blocks of a transfer, and for the end of a
// transfer that does not pause.
constexpr uint32_t kTransferTurnWaitMs = 1000;
constexpr uint32_t kUnpausedTransferWaitMs = 300;
// Test seams: the factory behind CreateDeviceForPort (null restores it) and the waits.
using TDeviceFactory = TShellDevicePtr (*)(const std::string& PortName,
                                           const std::string& FriendlyName, uint16_t VID,
                                           uint16_t PID);
void SetDeviceFactory(TDeviceFactory Factory);
void SetDeviceBusyWaitMs(uint32_t Ms);
void SetBrowseWaitsMs(uint32_t TurnMs, uint32_t UnpausedMs);
