#include "plugin/uHostLog.h"

#include <mutex>
#include <vector>

#include "util/uDebugLog.h"

std::atomic<int32_t> PluginNr{0};
std::atomic<tProgressProc> ProgressProc{nullptr};
std::atomic<tLogProc> LogProc{nullptr};
std::atomic<tRequestProc> RequestProc{nullptr};

namespace {
// On the heap until the unload releases it (the lifetime rule in plugin/uLibrary.h).
std::mutex IniLock;
std::string* IniName = nullptr;  // guarded by IniLock
}  // namespace

std::string IniFileName() {
  std::lock_guard<std::mutex> guard(IniLock);
  return IniName ? *IniName : std::string();
}

void SetIniFileName(const std::string& Name) {
  std::lock_guard<std::mutex> guard(IniLock);
  if (IniName)
    *IniName = Name;
  else
    IniName = new std::string(Name);
}

void ReleaseIniFileName() {
  std::lock_guard<std::mutex> guard(IniLock);
  delete IniName;
  IniName = nullptr;
}

void HostLog(int32_t MsgType, const std::string& Text) {
  tLogProc log = LogProc.load();
  if (!log) return;
  // The callback takes a writable buffer; hand it a private copy, never null.
  std::vector<char> buffer(Text.begin(), Text.end());
  buffer.push_back('\0');
  log(PluginNr.load(), MsgType, buffer.data());
}

void DetailLog(const std::string& Text) {
  DebugLog(Text);
  HostLog(MSGTYPE_DETAILS, Text);
}
