// No export lets an exception reach the host, whatever fails inside: every export is called while
// each allocation on its thread throws std::bad_alloc, and must answer with its failure result.
// The program replaces the global allocation functions for that, so it is a program of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "platform/wfxplugin.h"
#include "plugin/uFindData.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"

namespace {

// Set only around one export call, on the calling thread.
thread_local bool FailAllocations = false;

void* Allocate(std::size_t Size) {
  if (FailAllocations) throw std::bad_alloc();
  if (void* block = std::malloc(Size == 0 ? 1 : Size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t Size) {
  return Allocate(Size);
}
void* operator new[](std::size_t Size) {
  return Allocate(Size);
}
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept {
  return FailAllocations ? nullptr : std::malloc(Size == 0 ? 1 : Size);
}
void* operator new[](std::size_t Size, const std::nothrow_t&) noexcept {
  return FailAllocations ? nullptr : std::malloc(Size == 0 ? 1 : Size);
}
void operator delete(void* Block) noexcept {
  std::free(Block);
}
void operator delete[](void* Block) noexcept {
  std::free(Block);
}
void operator delete(void* Block, std::size_t) noexcept {
  std::free(Block);
}
void operator delete[](void* Block, std::size_t) noexcept {
  std::free(Block);
}
void operator delete(void* Block, const std::nothrow_t&) noexcept {
  std::free(Block);
}
void operator delete[](void* Block, const std::nothrow_t&) noexcept {
  std::free(Block);
}

namespace {

// Call's result, with every allocation of Call failing.
intptr_t WithoutMemory(const std::function<intptr_t()>& Call) {
  FailAllocations = true;
  try {
    intptr_t result = Call();
    FailAllocations = false;
    return result;
  } catch (...) {
    FailAllocations = false;
    throw;
  }
}

TEST(ExportsOutOfMemory, EveryExportAnswersWithItsFailure) {
  DeviceCacheStartup();
  RegistryStartup();
  char path[] = "\\PortaPack (COM5)\\a.txt";
  char other[] = "\\PortaPack (COM5)\\b.txt";
  char local[] = "/tmp/quarnel-out-of-memory.txt";
  char root[] = "\\";
  WIN32_FIND_DATAA data;
  WCHAR widePath[] = u"\\PortaPack (COM5)\\a.txt";
  WCHAR wideOther[] = u"\\PortaPack (COM5)\\b.txt";
  WCHAR wideLocal[] = u"/tmp/quarnel-out-of-memory.txt";
  WCHAR wideRoot[] = u"\\";
  WIN32_FIND_DATAW wideData;
  TFindContext* unknown = nullptr;  // a handle the plug-in never gave out
  HANDLE bogus = static_cast<HANDLE>(&unknown);
  FsDefaultParamStruct params{};
  params.size = sizeof(params);
  struct {
    const char* Export;
    std::function<intptr_t()> Call;
    intptr_t Result;
  } cases[] = {
      {"FsInit", [] { return intptr_t{FsInit(1, nullptr, nullptr, nullptr)}; }, 0},
      {"FsSetDefaultParams",
       [&] {
         FsSetDefaultParams(&params);
         return intptr_t{0};
       },
       0},
      {"FsFindFirst", [&] { return reinterpret_cast<intptr_t>(FsFindFirst(root, &data)); },
       reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)},
      {"FsFindFirst on a device",
       [&] { return reinterpret_cast<intptr_t>(FsFindFirst(path, &data)); },
       reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)},
      {"FsFindNext", [&] { return intptr_t{FsFindNext(bogus, &data)}; }, FALSE},
      {"FsFindClose", [&] { return intptr_t{FsFindClose(bogus)}; }, 0},
      {"FsGetFile", [&] { return intptr_t{FsGetFile(path, local, 0, nullptr)}; },
       FS_FILE_READERROR},
      {"FsPutFile", [&] { return intptr_t{FsPutFile(local, path, 0)}; }, FS_FILE_WRITEERROR},
      {"FsRenMovFile", [&] { return intptr_t{FsRenMovFile(path, other, FALSE, FALSE, nullptr)}; },
       FS_FILE_WRITEERROR},
      {"FsDeleteFile", [&] { return intptr_t{FsDeleteFile(path)}; }, FALSE},
      {"FsRemoveDir", [&] { return intptr_t{FsRemoveDir(path)}; }, FALSE},
      {"FsMkDir", [&] { return intptr_t{FsMkDir(path)}; }, FALSE},
      {"FsDisconnect", [&] { return intptr_t{FsDisconnect(path)}; }, FALSE},
      // The wide forms, which convert every name first.
      {"FsInitW", [] { return intptr_t{FsInitW(1, nullptr, nullptr, nullptr)}; }, 0},
      {"FsFindFirstW",
       [&] { return reinterpret_cast<intptr_t>(FsFindFirstW(wideRoot, &wideData)); },
       reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)},
      {"FsFindFirstW on a device",
       [&] { return reinterpret_cast<intptr_t>(FsFindFirstW(widePath, &wideData)); },
       reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)},
      {"FsFindNextW", [&] { return intptr_t{FsFindNextW(bogus, &wideData)}; }, FALSE},
      {"FsGetFileW", [&] { return intptr_t{FsGetFileW(widePath, wideLocal, 0, nullptr)}; },
       FS_FILE_READERROR},
      {"FsPutFileW", [&] { return intptr_t{FsPutFileW(wideLocal, widePath, 0)}; },
       FS_FILE_WRITEERROR},
      {"FsRenMovFileW",
       [&] { return intptr_t{FsRenMovFileW(widePath, wideOther, FALSE, FALSE, nullptr)}; },
       FS_FILE_WRITEERROR},
      {"FsDeleteFileW", [&] { return intptr_t{FsDeleteFileW(widePath)}; }, FALSE},
      {"FsRemoveDirW", [&] { return intptr_t{FsRemoveDirW(widePath)}; }, FALSE},
      {"FsMkDirW", [&] { return intptr_t{FsMkDirW(widePath)}; }, FALSE},
      {"FsDisconnectW", [&] { return intptr_t{FsDisconnectW(widePath)}; }, FALSE},
  };
  for (const auto& c : cases) {
    // The find handles' table is made again at its next use: that allocation fails too.
    ReleaseAllFindContexts();
    intptr_t result = -2;
    EXPECT_NO_THROW(result = WithoutMemory(c.Call)) << c.Export;
    EXPECT_EQ(result, c.Result) << c.Export;
  }
  DeviceCacheShutdown();
  RegistryShutdown();
}

}  // namespace
