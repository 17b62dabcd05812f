// The plug-in's own background thread (the idle watcher) and the event that wakes it. Starting is
// ordinary; ending is not: on Windows the library's unload runs under the loader lock, and a thread
// cannot finish its exit while that lock is held, so it cannot be joined there. The body therefore
// signals that it no longer touches shared state, and the thread is then ended by force (Windows)
// or joined (POSIX, where a thread's exit needs no such lock). No OS header is included here.
#pragma once

#include <cstdint>

namespace platform {

struct TPluginThreadState;
using TPluginThread = TPluginThreadState*;

// Starts Body(Arg) on a new thread with the default stack size; nullptr when it cannot start. On
// Windows it returns once the new thread is through its start-up, which needs the loader lock: so
// never call it from the loader entry (DllMain).
TPluginThread StartPluginThread(void (*Body)(void* Arg), void* Arg);

// Ends a thread whose body has been asked to return: waits up to TimeoutMs for the body to return,
// then POSIX joins the thread, while Windows ends it with TerminateThread (in its exit path it
// waits for the loader lock that the unloading DllMain holds) and closes its handle. After this
// the body runs no more. nullptr is ignored.
void EndPluginThread(TPluginThread Thread, uint32_t TimeoutMs);

// A manual-reset event: once set it stays set. Waits return early when it is set.
class TStopEvent {
 public:
  TStopEvent();
  ~TStopEvent();
  TStopEvent(const TStopEvent&) = delete;
  TStopEvent& operator=(const TStopEvent&) = delete;

  void Set();
  bool IsSet() const;
  // True when the event is (or becomes) set within TimeoutMs, false on time-out.
  bool Wait(uint32_t TimeoutMs);

 private:
  struct TState;
  TState* State_;
};

}  // namespace platform
