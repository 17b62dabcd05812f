// The one kind of log hook: a procedure that a lower layer (the device drivers, the registry, the
// port scan) calls with each line it logs, and that FsInit points at the plug-in's detail log.
// Hooks are atomic, as the host's callbacks are: FsInit and the library's shut-down replace them
// while any other thread may be logging through them.
#pragma once

#include <atomic>
#include <string>

using TLogHook = void (*)(const std::string& Line);
using TLogHookSlot = std::atomic<TLogHook>;

// Passes Line to the hook in Slot when one is set; otherwise does nothing.
inline void CallLogHook(const TLogHookSlot& Slot, const std::string& Line) {
  if (TLogHook hook = Slot.load()) hook(Line);
}
