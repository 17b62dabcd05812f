// The plug-in as hosts load it: Total Commander's installation loads the DLL only to ask its root
// name and unloads it at once, and every unload ends the idle watcher thread that the load
// started. Neither may hold the host up: a thread created under the loader lock cannot even start
// before the unload has begun.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/wfxplugin.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string PluginPath() {
  return std::string("Z:") + QUARNEL_BUILD_DIR +
         (sizeof(void*) == 8 ? "/quarnel.wfx64" : "/quarnel.wfx");
}

template <typename TFunction>
TFunction Export(HMODULE Library, const char* Name) {
  // Through void*: GetProcAddress's FARPROC has no parameters to match.
  return reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(Library, Name)));
}

// Rounds that unload at once, with and without FsInit (which starts the watcher), and rounds that
// let the watcher settle into its wait first. An unload that ended a thread still in its start-up
// crashed the 32-bit process in about one run of three.
TEST(WineLibrary, LoadingAndUnloadingNeverWaitsForTheWatcher) {
  struct TRound {
    bool Init;
    DWORD PauseMs;
  };
  std::vector<TRound> rounds;
  for (int i = 0; i < 20; ++i) rounds.push_back({i % 2 == 1, 0});
  for (DWORD pause : {50, 150}) rounds.push_back({true, pause});
  for (size_t round = 0; round < rounds.size(); ++round) {
    auto start = Clock::now();
    HMODULE library = LoadLibraryA(PluginPath().c_str());
    ASSERT_NE(library, nullptr) << PluginPath() << " error " << GetLastError();
    auto getRootName = Export<decltype(&FsGetDefRootName)>(library, "FsGetDefRootName");
    ASSERT_NE(getRootName, nullptr);
    char name[64] = {};
    getRootName(name, sizeof(name));
    EXPECT_STREQ(name, "ChibiOS Devices");
    if (rounds[round].Init) {
      auto init = Export<decltype(&FsInit)>(library, "FsInit");
      ASSERT_NE(init, nullptr);
      init(0, nullptr, nullptr, nullptr);
    }
    if (rounds[round].PauseMs) Sleep(rounds[round].PauseMs);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "round " << round;
  }
}

}  // namespace
