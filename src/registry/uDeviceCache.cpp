// The device cache behind GetDevice: lookup and connect under RegistryLock, the slots and their
// use counts, the three ways a device leaves the cache, and start-up and shut-down. The rule for
// devices in use is written in the header.
#include "registry/uDeviceCache.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "devices/uDeviceLog.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"
#include "util/uDebugLog.h"
#include "util/uStrUtils.h"

namespace {

// How long a listing waits for the device behind each kind of holder.
struct TListingWaits {
  uint32_t OtherMs;            // an operation that is no transfer, or a listing
  uint32_t PausingTransferMs;  // a transfer that pauses between its blocks: the wait for a turn
  uint32_t TransferMs;         // a transfer that does not: the wait for its end
};

// Who may talk to a device: one operation that holds it, or, while a transfer that holds it is
// paused between two blocks, one listing that was given the turn. (A mutex and a condition
// variable rather than std::timed_mutex, whose timed lock ThreadSanitizer cannot see.)
class TOperationGate {
 public:
  // The holder a listing was refused behind.
  struct THolder {
    bool Transfer = false;
    bool Pauses = false;  // a transfer that pauses between its blocks
  };

  // Takes the device for an operation of its own: waits while another holds it, at most
  // TimeoutMs. Holder says what the operation is.
  bool Enter(uint32_t TimeoutMs, THolder Holder) {
    std::unique_lock<std::mutex> lock(Lock_);
    if (!Changed_.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return !Busy_; }))
      return false;
    Busy_ = true;
    Holder_ = Holder;
    return true;
  }

  enum class TEntry { Refused, Own, Turn };
  // A listing: the device when it is free, or a turn while the transfer that holds it pauses.
  // The wait is bounded by Waits according to what holds the device, measured from the start;
  // Behind tells what held it when the listing was refused.
  TEntry EnterListing(const TListingWaits& Waits, THolder& Behind) {
    std::unique_lock<std::mutex> lock(Lock_);
    const auto start = std::chrono::steady_clock::now();
    ++Listings_;
    TEntry entry = TEntry::Refused;
    for (;;) {
      if (!Busy_) {
        Busy_ = true;
        Holder_ = THolder();
        entry = TEntry::Own;
        break;
      }
      if (Offered_) {
        Offered_ = false;
        Lent_ = true;
        entry = TEntry::Turn;
        break;
      }
      const uint32_t bound = !Holder_.Transfer ? Waits.OtherMs
                             : Holder_.Pauses  ? Waits.PausingTransferMs
                                               : Waits.TransferMs;
      const auto deadline = start + std::chrono::milliseconds(bound);
      if (std::chrono::steady_clock::now() >= deadline) {
        Behind = Holder_;
        break;
      }
      Changed_.wait_until(lock, deadline);
    }
    --Listings_;
    Changed_.notify_all();  // a paused transfer may be waiting for the last listing to decide
    return entry;
  }

  // The holder lets go.
  void Leave() {
    {
      std::lock_guard<std::mutex> guard(Lock_);
      Busy_ = false;
      Holder_ = THolder();
    }
    Changed_.notify_all();
  }

  // The listing that had a turn hands the device back to the paused transfer.
  void ReturnTurn() {
    {
      std::lock_guard<std::mutex> guard(Lock_);
      Lent_ = false;
    }
    Changed_.notify_all();
  }

  // The holder, between two blocks of a transfer: each listing waiting now gets one turn, one
  // after the other (those that come meanwhile wait for the next pause, so that listings cannot
  // hold up the copy for ever). A turn has no deadline of its own here: the device is in the
  // listing's hands, and taking it back would mix two dialogues on one line; every exchange of
  // the listing has its own time-out, and its end returns the turn. True when a listing had a
  // turn.
  bool Pause() {
    std::unique_lock<std::mutex> lock(Lock_);
    bool lent = false;
    if (!Holder_.Pauses) return lent;
    for (int turns = Listings_; turns > 0 && Listings_ > 0; --turns) {
      Offered_ = true;
      Changed_.notify_all();
      // Until a listing has taken the turn and given it back, or none is left to take it.
      Changed_.wait(lock, [this] { return Offered_ ? Listings_ == 0 : !Lent_; });
      lent = lent || !Offered_;  // taken (and given back), not withdrawn
      Offered_ = false;
    }
    return lent;
  }

 private:
  std::mutex Lock_;
  std::condition_variable Changed_;
  bool Busy_ = false;  // an operation holds the device (also while it has lent it)
  THolder Holder_;
  int Listings_ = 0;      // listings waiting for the device or a turn
  bool Offered_ = false;  // the paused holder offers a turn
  bool Lent_ = false;     // a listing has the turn
};

// Tells the operations that let go of a slot taken out of the cache when its device is destroyed
// and its port closed: only then can the port be opened again.
class TDeparture {
 public:
  void MarkGone() {
    {
      std::lock_guard<std::mutex> guard(Lock_);
      Gone_ = true;
    }
    Changed_.notify_all();
  }
  // True when the slot is (or becomes) destroyed within TimeoutMs.
  bool WaitGone(uint32_t TimeoutMs) {
    std::unique_lock<std::mutex> lock(Lock_);
    return Changed_.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return Gone_; });
  }

 private:
  std::mutex Lock_;
  std::condition_variable Changed_;
  bool Gone_ = false;
};

}  // namespace

// One cache slot. The device is disconnected and destroyed with the slot (TShellDevicePtr), which
// happens when the cache and every TDeviceUse have let go of it.
struct TOwnedDevice {
  ~TOwnedDevice() {
    Device.reset();  // disconnected, its port closed
    Departure->MarkGone();
  }

  std::string RootDisplay;
  std::string Port;
  TShellDevicePtr Device;
  // Outlives the slot for those who wait for its end.
  std::shared_ptr<TDeparture> Departure = std::make_shared<TDeparture>();
  TOperationGate Operation;
  // Operations that have found this slot and not yet ended; raised only under RegistryLock.
  std::atomic<int> UseCount{0};
  // Taken out of the cache (guarded by RegistryLock): a waiting operation must not start on it.
  bool Removed = false;
};

namespace {

using TSlotPtr = std::shared_ptr<TOwnedDevice>;

// Everything the cache owns, on the heap: the library's unload hook may run after the runtime has
// destroyed static objects, so nothing here is left for static destruction.
struct TCacheState {
  std::mutex RegistryLock;
  std::vector<TSlotPtr> OwnedDevices;  // in insertion order
  std::mutex ErrorLock;  // only for LastConnectError, so readers never wait on a connect
  std::string LastConnectError;
};
std::atomic<TCacheState*> State{nullptr};

std::atomic<TDeviceFactory> Factory{nullptr};
std::atomic<uint32_t> BusyWaitMs{kDeviceBusyWaitMs};
std::atomic<uint32_t> TransferTurnWaitMs{kTransferTurnWaitMs};
std::atomic<uint32_t> UnpausedTransferWaitMs{kUnpausedTransferWaitMs};

void SetLastConnectError(TCacheState& state, const std::string& Text) {
  std::lock_guard<std::mutex> guard(state.ErrorLock);
  state.LastConnectError = Text;
}

// Takes a slot out of the cache; the caller holds RegistryLock. An idle device is disconnected and
// destroyed here, a busy one when its operation lets go.
void RemoveSlot(TCacheState& state, size_t Index) {
  TSlotPtr slot = std::move(state.OwnedDevices[Index]);
  state.OwnedDevices.erase(state.OwnedDevices.begin() + static_cast<std::ptrdiff_t>(Index));
  slot->Removed = true;
}

bool AnyInUse(const TCacheState& state) {
  for (const TSlotPtr& slot : state.OwnedDevices)
    if (slot->UseCount.load() > 0) return true;
  return false;
}

}  // namespace

// ---- TDeviceUse ---------------------------------------------------------------------------------

TDeviceUse::~TDeviceUse() {
  Release();
}

TDeviceUse::TDeviceUse(TDeviceUse&& Other) noexcept
    : Slot_(std::move(Other.Slot_)), Hold_(Other.Hold_), Problem_(std::move(Other.Problem_)) {
  Other.Hold_ = THold::None;
}

TDeviceUse& TDeviceUse::operator=(TDeviceUse&& Other) noexcept {
  if (this != &Other) {
    Release();
    Slot_ = std::move(Other.Slot_);
    Hold_ = Other.Hold_;
    Problem_ = std::move(Other.Problem_);
    Other.Hold_ = THold::None;
  }
  return *this;
}

TShellDevice* TDeviceUse::get() const {
  return Hold_ != THold::None && Slot_ ? Slot_->Device.get() : nullptr;
}

void TDeviceUse::Release() {
  if (!Slot_) return;
  // The operation's end counts as activity: the idle time runs from here. It is marked while the
  // device still counts as in use, so that the idle watcher, which looks at the use counts before
  // the stamp, never finds the device idle with the stamp of long ago.
  MarkActivity();
  if (Hold_ == THold::Own) Slot_->Operation.Leave();
  if (Hold_ == THold::Turn) Slot_->Operation.ReturnTurn();
  Hold_ = THold::None;
  Slot_->UseCount.fetch_sub(1);
  Slot_.reset();  // may be the last owner of a slot that left the cache meanwhile
}

// ---- The cache ----------------------------------------------------------------------------------

TShellDevicePtr CreateDeviceForPortDefault(const std::string& PortName,
                                           const std::string& FriendlyName, uint16_t VID,
                                           uint16_t PID);

TShellDevicePtr CreateDeviceForPort(const std::string& PortName, const std::string& FriendlyName,
                                    uint16_t VID, uint16_t PID) {
  TDeviceFactory factory = Factory.load();
  if (factory) return factory(PortName, FriendlyName, VID, PID);
  return CreateDeviceForPortDefault(PortName, FriendlyName, VID, PID);
}

namespace {

// A slot that left the cache while an operation held it: the operation lets go of it and waits,
// with the busy bound, until its device is destroyed and the port closed, so that a connect afresh
// can open the port. False when the device is still not gone.
bool LetGoAndWaitUntilGone(TDeviceUse& Use, TSlotPtr& Slot) {
  std::shared_ptr<TDeparture> departure = Slot->Departure;
  Use = TDeviceUse();
  Slot.reset();
  return departure->WaitGone(BusyWaitMs.load());
}

}  // namespace

// GetDevice's work, with access to TDeviceUse: a lookup whose slot left the cache while it waited
// for the device looks once more (MayRetry).
class TDeviceLookup {
 public:
  static TDeviceUse Run(const std::string& RootDisplay, TDeviceTask Task, bool MayRetry);

 private:
  // A listing's turn while the transfer that holds the device pauses: it has the device as it
  // is, or gives the turn back at once when the device left the cache or lost its connection.
  static TDeviceUse TakeTurn(TDeviceUse Use, TCacheState& State);
};

TDeviceUse GetDevice(const std::string& RootDisplay, TDeviceTask Task) {
  return TDeviceLookup::Run(RootDisplay, Task, true);
}

namespace {

bool IsBrowse(TDeviceTask Task) {
  return Task == TDeviceTask::Browse || Task == TDeviceTask::BrowseInOperation;
}

// What the holder of a device is, for the listings that wait behind it.
TOperationGate::THolder HolderFor(TDeviceTask Task, const TShellDevice& Device) {
  TOperationGate::THolder holder;
  holder.Transfer = Task == TDeviceTask::Download || Task == TDeviceTask::Upload;
  if (holder.Transfer)
    holder.Pauses = Device.PausesBetweenBlocks(
        Task == TDeviceTask::Upload ? TTransferDirection::Upload : TTransferDirection::Download);
  return holder;
}

TListingWaits WaitsFor(TDeviceTask Task) {
  const uint32_t busy = BusyWaitMs.load();
  // Part of a longer operation of the host: it waits as that operation's other steps would.
  if (Task != TDeviceTask::Browse) return {busy, busy, busy};
  return {busy, TransferTurnWaitMs.load(), UnpausedTransferWaitMs.load()};
}

const char kBusyText[] = "Device is busy with another operation; try again when it has finished";

std::string BusyText(const TOperationGate::THolder& Behind) {
  if (!Behind.Transfer) return kBusyText;
  if (Behind.Pauses)
    return "Device is busy with a copy, which did not pause for this within a second; try "
           "again in a moment";
  return "Device is busy with a copy, which it sends in one piece; try again when the copy has "
         "finished";
}

}  // namespace

TDeviceUse TDeviceLookup::TakeTurn(TDeviceUse Use, TCacheState& State) {
  bool removed;
  {
    std::lock_guard<std::mutex> guard(State.RegistryLock);
    removed = Use.Slot_->Removed;
  }
  // The transfer still holds the device: only it may let go of it or have it replaced.
  std::string problem;
  if (removed)
    problem = "Device was disconnected while this operation waited for it";
  else if (!Use.Slot_->Device->IsConnected())
    problem = "Device lost its connection; try again";
  if (problem.empty()) {
    DeviceLog("GetDevice: a turn between two blocks of a copy");
    return Use;
  }
  Use.Release();
  Use.Problem_ = problem;
  DeviceLog("GetDevice: " + problem);
  return Use;
}

TDeviceUse TDeviceLookup::Run(const std::string& RootDisplay, TDeviceTask Task, bool MayRetry) {
  TDeviceUse use;
  if (RootDisplay.empty()) return use;
  DeviceLog("GetDevice: RootDisplay=[" + RootDisplay + "]");
  TDeviceKind kind = KindForDisplay(RootDisplay);
  if (kind == dkNone) {
    // A folder the host remembers (its history, a restored tab) before the root was listed in
    // this run, or a device plugged in since: look at the ports once more before refusing. Only
    // for the name of a device folder whose port exists: any other first part of a path (a folder
    // the host tries to make at the root, a stale tab) is refused at once, without opening ports
    // or sweeping the cache.
    const std::string port = PortOfDeviceFolderName(RootDisplay);
    if (!port.empty() && PortExists(port)) {
      DeviceLog("GetDevice: not in the root list, listing the root again");
      ListRoot();
      kind = KindForDisplay(RootDisplay);
    }
  }
  if (kind != dkPortapack && kind != dkFlipper) {
    DeviceLog("GetDevice: kind not openable, returning nil");
    return use;
  }
  TCacheState* state = State.load();
  if (!state) return use;

  TSlotPtr slot;
  {
    std::lock_guard<std::mutex> guard(state->RegistryLock);
    for (const TSlotPtr& cached : state->OwnedDevices) {
      if (cached->RootDisplay == RootDisplay) {
        DeviceLog("GetDevice: cached device found");
        MarkActivity();
        slot = cached;
        slot->UseCount.fetch_add(1);
        break;
      }
    }
    if (!slot) {
      std::string port = DisplayToPort(RootDisplay);
      if (port.empty()) {
        DeviceLog("GetDevice: DisplayToPort returned empty");
        return use;
      }
      DeviceLog("GetDevice: port=" + port);
      TShellDevicePtr device;
      for (const TComPortInfo& info : ScanPorts()) {
        if (info.PortName != port) continue;
        DeviceLog("GetDevice: CreateDeviceForPort VID=" + UsbIdHex(info.VID) +
                  " PID=" + UsbIdHex(info.PID));
        device = CreateDeviceForPort(info.PortName, info.FriendlyName, info.VID, info.PID);
        break;
      }
      if (!device) {
        DeviceLog("GetDevice: CreateDeviceForPort returned nil");
        return use;
      }
      DeviceLog("GetDevice: calling Connect...");
      if (!device->Connect()) {
        std::string error = device->LastError;
        SetLastConnectError(*state, error);
        DeviceLog("GetDevice: Connect FAILED: " + error);
        return use;  // the device is disconnected and destroyed here, its port closed
      }
      SetLastConnectError(*state, "");
      DeviceLog("GetDevice: Connect OK, version=" + device->Version);
      slot = std::make_shared<TOwnedDevice>();
      slot->RootDisplay = RootDisplay;
      slot->Port = port;
      slot->Device = std::move(device);
      slot->UseCount.store(1);
      TOwnedDevice& owned = *slot;
      // Runs on the transfer's thread between two blocks, while the slot is held.
      owned.Device->SetBlockPause([&owned] { return owned.Operation.Pause(); });
      // Nobody else knows the slot yet: this cannot wait.
      owned.Operation.Enter(0, HolderFor(Task, *owned.Device));
      state->OwnedDevices.push_back(slot);
      NotifyConnect(RootDisplay);
      use.Slot_ = std::move(slot);
      use.Hold_ = TDeviceUse::THold::Own;
      return use;
    }
  }

  // A cached device: wait for another operation on it outside RegistryLock, with a bound. A
  // listing may instead get a turn between two blocks of a transfer.
  use.Slot_ = slot;
  if (IsBrowse(Task)) {
    TOperationGate::THolder behind;
    switch (slot->Operation.EnterListing(WaitsFor(Task), behind)) {
      case TOperationGate::TEntry::Turn:
        use.Hold_ = TDeviceUse::THold::Turn;
        return TakeTurn(std::move(use), *state);
      case TOperationGate::TEntry::Refused:
        use.Release();
        use.Problem_ = BusyText(behind);
        DeviceLog("GetDevice: " + use.Problem_);
        return use;
      case TOperationGate::TEntry::Own:
        break;
    }
  } else if (!slot->Operation.Enter(BusyWaitMs.load(), HolderFor(Task, *slot->Device))) {
    use.Release();
    use.Problem_ = kBusyText;
    DeviceLog("GetDevice: " + use.Problem_);
    return use;
  }
  use.Hold_ = TDeviceUse::THold::Own;
  bool removed;
  {
    std::lock_guard<std::mutex> guard(state->RegistryLock);
    removed = slot->Removed;
  }
  if (removed) {
    // Disconnected, swept, or dropped by an operation that found its connection lost, while this
    // one waited: look again once the old device is gone (it may have been connected afresh
    // meanwhile).
    if (LetGoAndWaitUntilGone(use, slot) && MayRetry) return Run(RootDisplay, Task, false);
    use.Problem_ = "Device was disconnected while this operation waited for it";
    DeviceLog("GetDevice: " + use.Problem_);
    return use;
  }
  if (!slot->Device->IsConnected()) {
    // A broken transfer left the device unable to take commands (a Flipper whose upload stopped
    // mid-chunk): drop it and connect afresh rather than fail every operation until it times out.
    DeviceLog("GetDevice: cached device lost its connection - connecting afresh");
    {
      std::lock_guard<std::mutex> guard(state->RegistryLock);
      for (size_t i = state->OwnedDevices.size(); i-- > 0;) {
        if (state->OwnedDevices[i] != slot) continue;
        NotifyDisconnect(RootDisplay);
        RemoveSlot(*state, i);
      }
    }
    // Operations still waiting for the old device find it removed and let go of it.
    if (LetGoAndWaitUntilGone(use, slot) && MayRetry) return Run(RootDisplay, Task, false);
    use.Problem_ = "Device lost its connection; try again";
    DeviceLog("GetDevice: " + use.Problem_);
    return use;
  }
  return use;
}

void DisconnectDevice(const std::string& RootDisplay) {
  TCacheState* state = State.load();
  if (!state) return;
  std::lock_guard<std::mutex> guard(state->RegistryLock);
  for (size_t i = state->OwnedDevices.size(); i-- > 0;) {
    if (state->OwnedDevices[i]->RootDisplay != RootDisplay) continue;
    NotifyDisconnect(RootDisplay);
    RemoveSlot(*state, i);
    DebugLog("DisconnectDevice: disconnected " + RootDisplay);
  }
}

void SweepStaleDevices(const std::vector<std::string>& PortNames) {
  TCacheState* state = State.load();
  if (!state) return;
  std::vector<std::string> live;
  live.reserve(PortNames.size());
  for (const std::string& name : PortNames) live.push_back(UpperAscii(name));
  std::lock_guard<std::mutex> guard(state->RegistryLock);
  for (size_t i = state->OwnedDevices.size(); i-- > 0;) {
    const TOwnedDevice& slot = *state->OwnedDevices[i];
    bool present = false;
    for (const std::string& name : live) present = present || name == UpperAscii(slot.Port);
    if (present) continue;
    DeviceLog("ListRoot: stale device on " + slot.Port + " - disconnecting");
    NotifyDisconnect(slot.RootDisplay);
    RemoveSlot(*state, i);
  }
}

void DisconnectAllNotify(const std::atomic<bool>* Terminated) {
  TCacheState* state = State.load();
  if (!state) return;
  std::lock_guard<std::mutex> guard(state->RegistryLock);
  // The unload may have passed the lock between the watcher's look at its flag and here: it has
  // gone on to destroy the devices itself, and the host, inside its unload, must hear nothing.
  if (Terminated && Terminated->load()) return;
  // Decided again under the lock: an operation that is still running keeps its device, and so does
  // one that began after the watcher's test. The use counts come first: an operation marks
  // activity before it counts as ended.
  if (AnyInUse(*state) || IdleTimeMs() < kIdleLimitMs) {
    DebugLog("DisconnectAllNotify: recent activity, skipping");
    return;
  }
  for (size_t i = state->OwnedDevices.size(); i-- > 0;) {
    NotifyDisconnect(state->OwnedDevices[i]->RootDisplay);
    RemoveSlot(*state, i);
  }
  SetLastActivity(RegistryTickCount());
  DebugLog("DisconnectAllNotify: done");
}

std::string LastConnectError() {
  TCacheState* state = State.load();
  if (!state) return {};
  std::lock_guard<std::mutex> guard(state->ErrorLock);
  return state->LastConnectError;
}

TCacheCount CountCachedDevices() {
  TCacheCount count;
  TCacheState* state = State.load();
  if (!state) return count;
  std::lock_guard<std::mutex> guard(state->RegistryLock);
  count.Devices = state->OwnedDevices.size();
  count.AnyInUse = AnyInUse(*state);
  return count;
}

void WaitForRegistryLock() {
  TCacheState* state = State.load();
  if (!state) return;
  std::lock_guard<std::mutex> guard(state->RegistryLock);
}

void DeviceCacheStartup() {
  TCacheState* expected = nullptr;
  auto* fresh = new TCacheState();
  if (!State.compare_exchange_strong(expected, fresh)) delete fresh;
}

void DeviceCacheShutdown() {
  TCacheState* state = State.exchange(nullptr);
  if (!state) return;
  // No lock and no notices: the watcher has ended and the host is unloading the library.
  while (!state->OwnedDevices.empty()) {
    state->OwnedDevices.back()->Removed = true;
    state->OwnedDevices.pop_back();
  }
  delete state;
}

void SetDeviceFactory(TDeviceFactory NewFactory) {
  Factory.store(NewFactory);
}

void SetDeviceBusyWaitMs(uint32_t Ms) {
  BusyWaitMs.store(Ms);
}

void SetBrowseWaitsMs(uint32_t TurnMs, uint32_t UnpausedMs) {
  TransferTurnWaitMs.store(TurnMs);
  UnpausedTransferWaitMs.store(UnpausedMs);
}
