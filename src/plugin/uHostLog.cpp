#include "plugin/uHostLog.h"

#include <mutex>
#include <vector>

#include "util/uDebugLog.h"

std::atomic<int32_t> PluginNr{0};
std::atomic<tProgressProc> ProgressProc{nullptr};
std::atomic<tLogProc> LogProc{nullptr};
std::atomic<tRequestProc> RequestProc{nullptr};

namespace {
std::mutex IniLock;
std::string IniName;
}  // namespace

std::string IniFileName() {
  std::lock_guard<std::mutex> guard(IniLock);
  return IniName;
}

void SetIniFileName(const std::string& Name) {
  std::lock_guard<std::mutex> guard(IniLock);
  IniName = Name;
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
