// Loader entry of the DLL. Runs under the loader lock: nothing here may wait for a thread.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "plugin/uLibrary.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    LibraryStartup();
  } else if (reason == DLL_PROCESS_DETACH) {
    // A non-null reserved means the process is ending (its other threads are gone already);
    // null means FreeLibrary.
    LibraryShutdown(reserved != nullptr);
  }
  return TRUE;
}
