// The plug-in as hosts load it: Total Commander's installation loads the DLL only to ask its root
// name and unloads it at once, and every unload ends the idle watcher thread that the load
// started. Neither may hold the host up: a thread created under the loader lock cannot even start
// before the unload has begun.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>

#include "platform/wfxplugin.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string PluginPath() {
  return std::string("Z:") + QUARNEL_BUILD_DIR +
         (sizeof(void*) == 8 ? "/quarnel.wfx64" : "/quarnel.wfx");
}

TEST(WineLibrary, LoadingAndUnloadingNeverWaitsForTheWatcher) {
  for (int round = 0; round < 5; ++round) {
    auto start = Clock::now();
    HMODULE library = LoadLibraryA(PluginPath().c_str());
    ASSERT_NE(library, nullptr) << PluginPath() << " error " << GetLastError();
    // Through void*: GetProcAddress's FARPROC has no parameters to match.
    auto getRootName = reinterpret_cast<decltype(&FsGetDefRootName)>(
        reinterpret_cast<void*>(GetProcAddress(library, "FsGetDefRootName")));
    ASSERT_NE(getRootName, nullptr);
    char name[64] = {};
    getRootName(name, sizeof(name));
    EXPECT_STREQ(name, "ChibiOS Devices");
    // Round 0 unloads at once; later rounds let the watcher settle into its wait first.
    if (round > 0) Sleep(50 * round);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "round " << round;
  }
}

}  // namespace
