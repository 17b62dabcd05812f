#include "plugin/uFindData.h"

#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

std::mutex ContextLock;
std::unordered_set<TFindContext*>* LiveContexts = nullptr;

void CopyName(const std::string& name, WIN32_FIND_DATAA& data) {
  // cFileName holds 260 characters; names are cut to 259 and NUL-terminated.
  size_t n = name.size() < MAX_PATH - 1 ? name.size() : MAX_PATH - 1;
  std::memcpy(data.cFileName, name.data(), n);
  data.cFileName[n] = '\0';
}

}  // namespace

void FillFindDataFromRoot(const TRootEntry& Entry, WIN32_FIND_DATAA& FindData) {
  std::memset(&FindData, 0, sizeof(FindData));
  FindData.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  CopyName(Entry.Display, FindData);
}

void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAA& FindData) {
  std::memset(&FindData, 0, sizeof(FindData));
  FindData.dwFileAttributes = Entry.IsDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  uint64_t size = static_cast<uint64_t>(Entry.Size);
  FindData.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  FindData.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  if (Entry.HasTime) {
    FILETIME t;
    t.dwLowDateTime = Entry.Time.Low;
    t.dwHighDateTime = Entry.Time.High;
    FindData.ftCreationTime = t;
    FindData.ftLastAccessTime = t;
    FindData.ftLastWriteTime = t;
  }
  CopyName(Entry.Name, FindData);
}

HANDLE RegisterFindContext(TFindContext* Context) {
  std::lock_guard<std::mutex> guard(ContextLock);
  if (!LiveContexts) LiveContexts = new std::unordered_set<TFindContext*>();
  LiveContexts->insert(Context);
  return static_cast<HANDLE>(Context);
}

TFindContext* LookupFindContext(HANDLE Handle) {
  std::lock_guard<std::mutex> guard(ContextLock);
  auto* context = static_cast<TFindContext*>(Handle);
  if (!LiveContexts || LiveContexts->count(context) == 0) return nullptr;
  return context;
}

TFindContext* ReleaseFindContext(HANDLE Handle) {
  std::lock_guard<std::mutex> guard(ContextLock);
  auto* context = static_cast<TFindContext*>(Handle);
  if (!LiveContexts || LiveContexts->erase(context) == 0) return nullptr;
  return context;
}

void ReleaseAllFindContexts() {
  std::lock_guard<std::mutex> guard(ContextLock);
  if (!LiveContexts) return;
  for (TFindContext* context : *LiveContexts) delete context;
  delete LiveContexts;
  LiveContexts = nullptr;
}
