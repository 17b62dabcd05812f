#include "util/uDebugLog.h"

#include <cstdio>
#include <mutex>

#include "platform/Platform.h"
#include "util/uLibraryObject.h"
#include "util/uUnicode.h"

namespace {

// Lines may be logged during and after the library's shut-down, so the log's state is a library
// object (the lifetime rule in plugin/uLibrary.h).
struct TLogState {
  std::mutex Lock;
  std::string Path;  // guarded by Lock; empty until the first use
};
TLibraryObject<TLogState> LogState;
TLogState& State() {
  return LogState.Get();
}

const std::string& PathLocked(TLogState& state) {
  if (state.Path.empty())
    state.Path = DebugLogPathFor(platform::TempDirectory(), platform::PathSeparator());
  return state.Path;
}

}  // namespace

std::string DebugLogPathFor(const std::string& TempDirectory, char Separator) {
  if (TempDirectory.empty()) return Separator == '\\' ? "C:\\quarnel.log" : "/tmp/quarnel.log";
  std::string path = TempDirectory;
  if (path.back() != Separator) path += Separator;
  return path + "quarnel.log";
}

std::string DebugLogPath() {
  TLogState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  return PathLocked(state);
}

void ReleaseDebugLog() {
  LogState.Release();
}

void DebugLog(const std::string& Line) {
  TLogState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  // Stamped under the lock, so that the stamps in the file never go backwards: a thread that
  // waited for the lock writes the time it writes, not the time it began to wait.
  platform::TLocalTime now = platform::LocalTimeNow();
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%.2d:%.2d:%.2d.%.3d", now.Hour, now.Minute, now.Second,
                now.Millisecond);
  // A log that cannot be written loses the line, nothing else. The file is UTF-8: raw device
  // bytes in a line (a name in another code page, a line cut inside a character) are shown as
  // U+FFFD.
  platform::AppendToFile(PathLocked(state), std::string(stamp) + "  " + ValidUtf8(Line) + "\r\n");
}

std::string FormatDataLine(const std::string& Label, const void* Buffer, int32_t Count) {
  if (Count <= 0 || Buffer == nullptr) return Label + " (0 bytes)";
  static const char kHex[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(Buffer);
  int32_t shown = Count < 48 ? Count : 48;
  std::string hex;
  std::string ascii;
  for (int32_t i = 0; i < shown; ++i) {
    unsigned char b = bytes[i];
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
    hex += ' ';
    ascii += (b >= 32 && b <= 126) ? static_cast<char>(b) : '.';
  }
  if (Count > 48) hex += "...";
  return Label + " (" + std::to_string(Count) + " bytes) " + hex + " | " + ascii;
}

void DebugLogData(const std::string& Label, const void* Buffer, int32_t Count) {
  DebugLog(FormatDataLine(Label, Buffer, Count));
}
