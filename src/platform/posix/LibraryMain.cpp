// Loader entry of the shared object: start-up when loaded, shut-down when unloaded.
#include "plugin/uLibrary.h"

__attribute__((constructor)) static void QuarnelLoaded() {
  LibraryStartup();
}
__attribute__((destructor)) static void QuarnelUnloaded() {
  LibraryShutdown();
}
