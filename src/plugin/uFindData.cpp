#include "plugin/uFindData.h"

#include <cstring>
#include <mutex>
#include <unordered_set>

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
void SetTimes(bool HasTime, const TFileTime& Time, WIN32_FIND_DATAA& FindData) {
  FILETIME t = HostNoTime();
  if (HasTime) {
    t.dwLowDateTime = Time.Low;
    t.dwHighDateTime = Time.High;
  }
  FindData.ftCreationTime = t;
  FindData.ftLastAccessTime = t;
  FindData.ftLastWriteTime = t;
}

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
  SetTimes(false, TFileTime(), FindData);
  CopyName(Entry.Display, FindData);
}

void FillFindDataFromEntry(const TShellFileEntry& Entry, WIN32_FIND_DATAA& FindData) {
  std::memset(&FindData, 0, sizeof(FindData));
  FindData.dwFileAttributes = Entry.IsDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  uint64_t size = static_cast<uint64_t>(Entry.Size);
  FindData.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  FindData.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  SetTimes(Entry.HasTime, Entry.Time, FindData);
  CopyName(Entry.Name, FindData);
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
