// The idle watcher: a thread of the plug-in's own that wakes every kIdleCheckPeriodMs and, once the
// plug-in has seen no activity for kIdleLimitMs, disconnects every cached device with a notice to
// the host. It runs from the host's first FsInit to the unload.
#pragma once

#include <cstdint>

// Start-up creates the stop event and starts the thread (with an empty cache it only wakes and
// sleeps); once started, later calls do nothing. Stop wakes and ends it: termination flag, event, a
// pass through RegistryLock (waits for a disconnect in progress), then the thread's end; afterwards
// it touches nothing shared. Close releases the event. CheckPeriodMs is for tests; the idle limit
// is measured with the registry's clock, which tests replace.
void IdleWatcherStart(uint32_t CheckPeriodMs = 30000);
void IdleWatcherStop();
void IdleWatcherClose();
