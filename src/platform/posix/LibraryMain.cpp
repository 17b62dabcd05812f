// Loader entry of the shared object: start-up when loaded, shut-down when unloaded.
#include <atomic>
#include <cstdlib>

#include "plugin/uLibrary.h"

namespace {

// exit() runs the handlers registered with atexit (the library's static destructors among them)
// before the destructor functions; dlclose runs the destructor function first and the library's
// handlers after it. So this flag is set at the destructor exactly when the process is ending.
std::atomic<bool> ProcessExiting{false};
void MarkProcessExiting() {
  ProcessExiting.store(true);
}

}  // namespace

__attribute__((constructor)) static void QuarnelLoaded() {
  std::atexit(MarkProcessExiting);
  LibraryStartup();
}
__attribute__((destructor)) static void QuarnelUnloaded() {
  LibraryShutdown(ProcessExiting.load());
}
