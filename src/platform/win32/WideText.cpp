// UTF-8 and UTF-16 through the system's converter, and the ANSI code page of the host's ANSI
// interface.
#include "platform/win32/WideText.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/Platform.h"

namespace platform {

namespace win32 {

namespace {

std::wstring ToWide(UINT CodePage, const std::string& Text) {
  if (Text.empty()) return {};
  int count =
      MultiByteToWideChar(CodePage, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
  if (count <= 0) return {};
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CodePage, 0, Text.data(), static_cast<int>(Text.size()), wide.data(), count);
  return wide;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& Text) {
  return ToWide(CP_UTF8, Text);
}

std::string Utf8FromWide(const wchar_t* Text, size_t Length) {
  if (Length == 0) return {};
  int size = static_cast<int>(Length);
  int count = WideCharToMultiByte(CP_UTF8, 0, Text, size, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string text(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, Text, size, text.data(), count, nullptr, nullptr);
  return text;
}

}  // namespace win32

std::string AnsiToUtf8(const std::string& Text) {
  std::wstring wide = win32::ToWide(CP_ACP, Text);
  return win32::Utf8FromWide(wide.data(), wide.size());
}

std::string Utf8ToAnsi(const std::string& Text, bool* Lossless) {
  if (Lossless) *Lossless = true;
  std::wstring wide = win32::WideFromUtf8(Text);
  if (wide.empty()) return {};
  // UTF-8 as the ANSI code page takes neither the flag nor the default character.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const char* defaultChar = utf8 ? nullptr : "?";
  int size = static_cast<int>(wide.size());
  int count = WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, defaultChar,
                                  usedDefaultOut);
  if (count <= 0) return {};
  std::string text(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_ACP, flags, wide.data(), size, text.data(), count, defaultChar,
                      usedDefaultOut);
  if (Lossless) *Lossless = !usedDefault;
  return text;
}

uint32_t AnsiCodePage() {
  return GetACP();
}

}  // namespace platform
