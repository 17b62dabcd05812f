#include "plugin/uHostLog.h"

#include <mutex>
#include <vector>

#include "plugin/uHostText.h"
#include "util/uDebugLog.h"
#include "util/uLibraryObject.h"

std::atomic<int32_t> PluginNr{0};
std::atomic<tProgressProc> ProgressProc{nullptr};
std::atomic<tLogProc> LogProc{nullptr};
std::atomic<tRequestProc> RequestProc{nullptr};
std::atomic<tProgressProcW> ProgressProcW{nullptr};
std::atomic<tLogProcW> LogProcW{nullptr};
std::atomic<tRequestProcW> RequestProcW{nullptr};
std::atomic<bool> WideCallbacks{false};

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

namespace {

// Calls Use(callback, buffer) with the wide callback in WideSlot once FsInitW was called, else with
// the ANSI one in AnsiSlot, and nothing when that one is null. Buffer makes a text into what the
// callback takes: a private, writable, NUL-terminated copy in its form, never null.
template <class TWide, class TAnsi, class TUse>
void CallHost(const std::atomic<TWide>& WideSlot, const std::atomic<TAnsi>& AnsiSlot, TUse Use) {
  if (WideCallbacks.load()) {
    if (TWide callback = WideSlot.load()) Use(callback, WideHostBuffer);
  } else if (TAnsi callback = AnsiSlot.load()) {
    Use(callback, AnsiHostBuffer);
  }
}

}  // namespace

void HostLog(int32_t MsgType, const std::string& Text) {
  CallHost(LogProcW, LogProc, [&](auto log, auto buffer) {
    auto text = buffer(Text);
    log(PluginNr.load(), MsgType, text.data());
  });
}

void DetailLog(const std::string& Text) {
  DebugLog(Text);
  HostLog(MSGTYPE_DETAILS, Text);
}

int32_t HostProgress(const std::string& Source, const std::string& Target, int32_t Percent) {
  int32_t answer = 0;
  CallHost(ProgressProcW, ProgressProc, [&](auto progress, auto buffer) {
    auto source = buffer(Source);
    auto target = buffer(Target);
    answer = progress(PluginNr.load(), source.data(), target.data(), Percent);
  });
  return answer;
}

void HostMessage(int32_t RequestType, const std::string& Title, const std::string& Text) {
  CallHost(RequestProcW, RequestProc, [&](auto request, auto buffer) {
    auto title = buffer(Title);
    auto text = buffer(Text);
    request(PluginNr.load(), RequestType, title.data(), text.data(), nullptr, 0);
  });
}
