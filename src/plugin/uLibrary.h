// Library start-up and shut-down, called from the loader entry (DllMain on Windows, constructor
// and destructor functions elsewhere), and the lifetime rule that everything they touch obeys.
//
// The lifetime rule, for every object that the shut-down can touch, and every object that a line
// logged during or after the shut-down can touch (the debug log, the log hooks, the host values):
//
// 1. The C++ runtime never destroys it. Either it is trivially destructible (an atomic, a number,
//    a plain pointer), or it is held by a TLibraryObject (util/uLibraryObject.h), which makes it
//    on the heap at its first use and deletes it only when LibraryShutdown releases it on
//    FreeLibrary or dlclose. So no std::string, container, mutex or class object at namespace
//    scope or as a function-local static object.
//    Why: Double Commander keeps a plug-in loaded until the process ends. At exit() the runtime
//    destroys the library's static objects first and only then runs the library's destructor
//    function; the host's other threads may still be calling in meanwhile.
// 2. At process exit (ProcessExiting true) the shut-down does nothing: it takes no lock, waits for
//    nothing and frees nothing; the operating system reclaims memory, handles and threads.
//    Why: on Windows the process's other threads have been killed by the time DllMain hears of
//    the exit, so a lock one of them held stays held for ever and the host would hang on exit.
//    On Linux they still run and may still use what a shut-down would free.
// 3. On FreeLibrary and dlclose (ProcessExiting false) the full shut-down runs in this order:
//    the log hooks are cleared, the registry is shut down (its idle watcher and cached devices
//    first, then its lock and stored lists), then the find contexts, the ini name and the debug
//    log are released. Nothing in it may wait for a thread while Windows holds the loader lock,
//    other than a thread that is known not to need that lock.
#pragma once

void LibraryStartup();
void LibraryShutdown(bool ProcessExiting);
