// The Win32 side of the platform seam: appending to one file through many handles at once, as the
// debug log is appended to by the 32- and 64-bit host and by several of its windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"

namespace {

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Each thread stands for another process: every append opens a handle of its own, and no lock
// is shared, so only the file system keeps the lines apart.
TEST(WinePlatform, AppendsThroughManyHandlesLoseNoLine) {
  // Wine emulates append-only access by writing at the end it last saw, not in one step with the
  // write, so lines get lost there with any implementation; Windows appends atomically.
  if (RunningUnderWine()) GTEST_SKIP() << "Wine does not append atomically";
  const std::string path = platform::TempDirectory() + "quarnel-append-" +
                           std::to_string(GetCurrentProcessId()) + ".txt";
  DeleteFileA(path.c_str());
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  auto lineOf = [](int Thread, int Index) {
    return "thread " + std::to_string(Thread) + " line " + std::to_string(Index) +
           std::string(40, '.') + "\r\n";
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) EXPECT_TRUE(platform::AppendToFile(path, lineOf(t, i)));
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  DeleteFileA(path.c_str());
  std::string expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i) expected += lineOf(t, i);
  // Every line once and whole, in any order.
  std::multiset<std::string> got, want;
  std::string line;
  while (std::getline(text, line)) got.insert(line);
  std::stringstream wanted(expected);
  while (std::getline(wanted, line)) want.insert(line);
  EXPECT_EQ(text.str().size(), expected.size());
  EXPECT_TRUE(got == want);
}

}  // namespace
