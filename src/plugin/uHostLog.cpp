#include "plugin/uHostLog.h"

#include <mutex>
#include <vector>

#include "util/uDebugLog.h"
#include "util/uLibraryObject.h"

std::atomic<int32_t> PluginNr{0};
std::atomic<tProgressProc> ProgressProc{nullptr};
std::atomic<tLogProc> LogProc{nullptr};
std::atomic<tRequestProc> RequestProc{nullptr};

namespace {
// A library object (the lifetime rule in plugin/uLibrary.h).
struct TIniStore {
  std::mutex Lock;
  std::string Name;
};
TLibraryObject<TIniStore> IniStore;
TIniStore& Ini() {
  return IniStore.Get();
}
}  // namespace

std::string IniFileName() {
  std::lock_guard<std::mutex> guard(Ini().Lock);
  return Ini().Name;
}

void SetIniFileName(const std::string& Name) {
  std::lock_guard<std::mutex> guard(Ini().Lock);
  Ini().Name = Name;
}

void ReleaseIniFileName() {
  IniStore.Release();
}

std::vector<char> HostBuffer(const std::string& Text) {
  std::vector<char> buffer(Text.begin(), Text.end());
  buffer.push_back('\0');
  return buffer;
}

void HostLog(int32_t MsgType, const std::string& Text) {
  tLogProc log = LogProc.load();
  if (!log) return;
  std::vector<char> buffer = HostBuffer(Text);  // never null
  log(PluginNr.load(), MsgType, buffer.data());
}

void DetailLog(const std::string& Text) {
  DebugLog(Text);
  HostLog(MSGTYPE_DETAILS, Text);
}
