#include "plugin/uFindData.h"

#include <cstring>
#include <mutex>
#include <unordered_set>

#include "plugin/uHostText.h"
#include "util/uLibraryObject.h"

namespace {

// A library object (the lifetime rule in plugin/uLibrary.h).
struct TLiveContexts {
  std::mutex Lock;
  std::unordered_set<TFindContext*> Set;
};
TLibraryObject<TLiveContexts> LiveContexts;
TLiveContexts& Live() {
  return LiveContexts.Get();
}

// The three times of an entry: the device's time when it gave one, else the host's "no time".
template <class TFindData>
void SetTimes(bool HasTime, const TFileTime& Time, TFindData& FindData) {
  FILETIME t = HostNoTime();
  if (HasTime) {
    t.dwLowDateTime = Time.Low;
    t.dwHighDateTime = Time.High;
  }
  FindData.ftCreationTime = t;
  FindData.ftLastAccessTime = t;
  FindData.ftLastWriteTime = t;
}

template <class TFindData>
void FillFromRoot(const TRootEntry& Entry, TFindData& FindData) {
  std::memset(&FindData, 0, sizeof(FindData));
  FindData.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
  SetTimes(false, TFileTime(), FindData);
  CopyFindDataName(Entry.Display, FindData.cFileName);
}

template <class TFindData>
void FillFromEntry(const TShellFileEntry& Entry, TFindData& FindData) {
  std::memset(&FindData, 0, sizeof(FindData));
  FindData.dwFileAttributes = Entry.IsDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  uint64_t size = static_cast<uint64_t>(Entry.Size);
  FindData.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  FindData.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetTimes(Entry.HasTime, Entry.Time, FindData);
  CopyFindDataName(Entry.Name, FindData.cFileName);
}

template <class TFindData>
bool FillNext(TFindContext& Context, TFindData& FindData) {
  if (Context.Index < 0) return false;
  const size_t index = static_cast<size_t>(Context.Index);
  if (Context.Level == 0) {
    if (index >= Context.Roots.size()) return false;
    FillFromRoot(Context.Roots[index], FindData);
  } else if (Context.Level == 1) {
    if (index >= Context.Entries.size()) return false;
    FillFromEntry(Context.Entries[index], FindData);
  } else {
    return false;
  }
  Context.Index++;
  return true;
}

}  // namespace

void FillFindDataFromRoot(const TRootEntry& Entry, WIN32_FIND_DATAA& FindData) {
  FillFromRoot(Entry, FindData);
}
void FillFindDataFromRoot(const TRootEntry& Entry, WIN32_FIND_DATAW& FindData) {
  FillFromRoot(Entry, FindData);
}
void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAA& FindData) {
  FillFromEntry(Entry, FindData);
}
void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAW& FindData) {
  FillFromEntry(Entry, FindData);
}
bool FillNextFindData(TFindContext& Context, WIN32_FIND_DATAA& FindData) {
  return FillNext(Context, FindData);
}
bool FillNextFindData(TFindContext& Context, WIN32_FIND_DATAW& FindData) {
  return FillNext(Context, FindData);
}

HANDLE RegisterFindContext(TFindContext* Context) {
  std::lock_guard<std::mutex> guard(Live().Lock);
  Live().Set.insert(Context);
  return static_cast<HANDLE>(Context);
}

TFindContext* LookupFindContext(HANDLE Handle) {
  std::lock_guard<std::mutex> guard(Live().Lock);
  auto* context = static_cast<TFindContext*>(Handle);
  return Live().Set.count(context) == 0 ? nullptr : context;
}

TFindContext* ReleaseFindContext(HANDLE Handle) {
  std::lock_guard<std::mutex> guard(Live().Lock);
  auto* context = static_cast<TFindContext*>(Handle);
  return Live().Set.erase(context) == 0 ? nullptr : context;
}

void ReleaseAllFindContexts() {
  {
    std::lock_guard<std::mutex> guard(Live().Lock);
    for (TFindContext* context : Live().Set) delete context;
  }
  LiveContexts.Release();
}
