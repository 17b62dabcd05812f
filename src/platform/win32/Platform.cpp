// Win32 implementation of the clock, local-file and environment seam.
#include "platform/Platform.h"
#include "platform/PortName.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "platform/win32/WideText.h"

namespace platform {

uint64_t TickCountMs() {
  return GetTickCount64();
}

void SleepMs(uint32_t ms) {
  Sleep(ms);
}

TLocalTime LocalTimeNow() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  return TLocalTime{st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

std::string TempDirectory() {
  wchar_t buffer[261] = {};
  DWORD n = GetTempPathW(261, buffer);
  // A result larger than the buffer means the path did not fit; the caller then falls back.
  if (n == 0 || n >= 261) return {};
  return win32::Utf8FromWide(buffer, n);
}

char PathSeparator() {
  return '\\';
}

bool AppendToFile(const std::string& path, const std::string& data) {
  // Append access alone (no FILE_WRITE_DATA): the system puts every write at the end of the file
  // in one step, as O_APPEND does. Seeking to the end and then writing would let another process
  // (the other bitness of the host, or a second window of it) write in between, and one line
  // would overwrite the other.
  HANDLE h = CreateFileW(win32::WideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == data.size();
}

std::string PortDevicePath(const std::string& Name) {
  return "\\\\.\\" + Name;
}

std::string GetEnv(const char* name) {
  if (!name) return {};
  std::wstring wideName = win32::WideFromUtf8(name);
  static constexpr DWORD kCapacity = 32768;
  std::wstring buffer(kCapacity, L'\0');
  DWORD n = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), kCapacity);
  if (n == 0 || n >= kCapacity) return {};
  return win32::Utf8FromWide(buffer.data(), n);
}

void SetLastErrorCode(uint32_t code) {
  SetLastError(code);
}
uint32_t GetLastErrorCode() {
  return GetLastError();
}

}  // namespace platform
