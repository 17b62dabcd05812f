// Loader entry of the shared object: start-up when loaded, shut-down when unloaded.
#include "plugin/uLibrary.h"

__attribute__((constructor)) static void QuarnelLoaded() {
  LibraryStartup();
}
// Runs at dlclose and, for a plug-in the host never closes, at exit(). Either way the process's
// other threads are still alive and release their locks as usual, so the full shut-down is safe
// in both cases (given the lifetime rule in plugin/uLibrary.h).
__attribute__((destructor)) static void QuarnelUnloaded() {
  LibraryShutdown(false);
}
