#include "util/uDebugLog.h"

#include <cstdio>
#include <mutex>

#include "platform/Platform.h"

namespace {

std::once_flag PathOnce;
std::string LogFilePath;
std::mutex LogLock;

void ComputePath() {
  std::string dir = platform::TempDirectory();
  if (dir.empty()) {
    LogFilePath = platform::PathSeparator() == '\\' ? "C:\\quarnel.log" : "/tmp/quarnel.log";
    return;
  }
  if (dir.back() != platform::PathSeparator()) dir += platform::PathSeparator();
  LogFilePath = dir + "quarnel.log";
}

}  // namespace

std::string DebugLogPath() {
  std::call_once(PathOnce, ComputePath);
  return LogFilePath;
}

void DebugLog(const std::string& Line) {
  std::string path = DebugLogPath();
  platform::TLocalTime now = platform::LocalTimeNow();
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%.2d:%.2d:%.2d.%.3d", now.Hour, now.Minute, now.Second,
                now.Millisecond);
  std::string text = std::string(stamp) + "  " + Line + "\r\n";
  std::lock_guard<std::mutex> guard(LogLock);
  platform::AppendToFile(path, text);  // a log that cannot be written loses the line, nothing else
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
