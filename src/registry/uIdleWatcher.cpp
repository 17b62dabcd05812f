// The idle watcher's thread body and its start and stop.
#include "registry/uIdleWatcher.h"

#include <atomic>

#include "platform/Thread.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "util/uDebugLog.h"

namespace {

// The watcher's state on the heap, created at start-up, released by IdleWatcherClose.
struct TIdleWatcher {
  platform::TStopEvent IdleStopEvent;
  std::atomic<bool> Terminated{false};
  uint32_t CheckPeriodMs = kIdleCheckPeriodMs;
  platform::TPluginThread Thread = nullptr;
};
std::atomic<TIdleWatcher*> Watcher{nullptr};

// How long unload waits for the body to return before the thread is ended anyway: longer than a
// disconnect of every device could take.
constexpr uint32_t kStopWaitMs = 5000;

void Execute(void* Arg) {
  auto* watcher = static_cast<TIdleWatcher*>(Arg);
  while (!watcher->Terminated.load()) {
    // Any outcome but a time-out (the event was set) ends the loop.
    if (watcher->IdleStopEvent.Wait(watcher->CheckPeriodMs)) break;
    if (watcher->Terminated.load()) break;
    TCacheCount count = CountCachedDevices();
    // A device in use is activity: the operation marks activity again when it ends.
    if (count.Devices == 0 || count.AnyInUse) continue;
    const uint64_t elapsed = IdleTimeMs();
    if (elapsed < kIdleLimitMs) continue;
    DebugLog("IdleWatcher: timeout after " + std::to_string(elapsed / 1000) +
             "s - disconnecting all");
    // The unload can begin right here; the disconnect looks at the flag again under the lock.
    DisconnectAllNotify(&watcher->Terminated);
  }
}

}  // namespace

void IdleWatcherStart(uint32_t CheckPeriodMs) {
  if (Watcher.load()) return;
  auto* watcher = new TIdleWatcher();
  watcher->CheckPeriodMs = CheckPeriodMs;
  TIdleWatcher* none = nullptr;
  if (!Watcher.compare_exchange_strong(none, watcher)) {
    delete watcher;  // another FsInit started it meanwhile
    return;
  }
  // Without a thread there is no idle disconnection; everything else works.
  watcher->Thread = platform::StartPluginThread(Execute, watcher);
}

void IdleWatcherStop() {
  TIdleWatcher* watcher = Watcher.load();
  if (!watcher) return;
  watcher->Terminated.store(true);
  watcher->IdleStopEvent.Set();
  WaitForRegistryLock();
  platform::EndPluginThread(watcher->Thread, kStopWaitMs);
  watcher->Thread = nullptr;
}

void IdleWatcherClose() {
  TIdleWatcher* watcher = Watcher.load();
  if (!watcher) return;
  if (watcher->Thread) IdleWatcherStop();  // never free the state under a running thread
  Watcher.store(nullptr);
  delete watcher;
}
