// Conversions at the host boundary (see uHostText.h).
#include "plugin/uHostText.h"

#include <cstring>

#include "platform/Platform.h"
#include "util/uUnicode.h"

namespace {

// cFileName holds 260 characters: names are cut to 259 and NUL-terminated.
constexpr size_t kMaxFindDataName = MAX_PATH - 1;

std::u16string WideText(const WCHAR* Text) {
  std::u16string text;
  if (!Text) return text;
  for (const WCHAR* unit = Text; *unit; ++unit) text.push_back(static_cast<char16_t>(*unit));
  return text;
}

// The UTF-8 form of a wide name; an unpaired surrogate is refused.
std::string Utf8FromWideName(const WCHAR* Name) {
  bool lossless = true;
  std::string name = Utf16ToUtf8(WideText(Name), &lossless);
  if (!lossless)
    throw TNameError("Cannot use the name \"" + name +
                     "\": it holds a lone UTF-16 surrogate, which is no character");
  return name;
}

}  // namespace

std::string RemoteNameFromHost(const char* Name) {
  std::string name = platform::AnsiToUtf8(Name ? Name : "");
  // Where the ANSI code page is not UTF-8, a name that did not fit it reached the host as "?"
  // (no card takes "?" in a name): the device's file cannot be named through this interface.
  if (platform::AnsiCodePage() != 65001 && name.find('?') != std::string::npos)
    throw TNameError("Cannot use the name \"" + name + "\": \"?\" stands for characters that the " +
                     "ANSI code page " + std::to_string(platform::AnsiCodePage()) +
                     " lacks, and the file manager passes names through that code page");
  return name;
}

std::string RemoteNameFromHost(const WCHAR* Name) {
  std::string name = Utf8FromWideName(Name);
  if (name.find(kReplacementUtf8) != std::string::npos)
    throw TNameError("Cannot use the name \"" + name + "\": \"" + std::string(kReplacementUtf8) +
                     "\" stands for bytes of the device's name that are not UTF-8, so the name " +
                     "cannot be given back to the device");
  return name;
}

std::string LocalNameFromHost(const char* Name) {
  return platform::AnsiToUtf8(Name ? Name : "");
}

std::string LocalNameFromHost(const WCHAR* Name) {
  return Utf8FromWideName(Name);
}

std::vector<char> AnsiHostBuffer(const std::string& Text) {
  std::string ansi = platform::Utf8ToAnsi(Text);
  std::vector<char> buffer(ansi.begin(), ansi.end());
  buffer.push_back('\0');
  return buffer;
}

std::vector<WCHAR> WideHostBuffer(const std::string& Text) {
  std::u16string wide = Utf8ToUtf16(Text);
  std::vector<WCHAR> buffer(wide.begin(), wide.end());
  buffer.push_back(0);
  return buffer;
}

void CopyFindDataName(const std::string& Name, char (&Target)[MAX_PATH]) {
  std::string text = Name;
  std::string ansi = platform::Utf8ToAnsi(text);
  // Cut whole characters off the end until the ANSI form fits. Each character gives at least one
  // ANSI byte and never more than its UTF-8 bytes, so the excess in bytes is a safe first cut.
  while (ansi.size() > kMaxFindDataName) {
    text.resize(Utf8CutLength(text, text.size() - (ansi.size() - kMaxFindDataName)));
    ansi = platform::Utf8ToAnsi(text);
  }
  std::memcpy(Target, ansi.data(), ansi.size());
  Target[ansi.size()] = '\0';
}

void CopyFindDataName(const std::string& Name, WCHAR (&Target)[MAX_PATH]) {
  std::u16string wide = Utf8ToUtf16(Name);
  size_t length = wide.size();
  if (length > kMaxFindDataName) {
    length = kMaxFindDataName;
    // Never half of a surrogate pair.
    if (wide[length - 1] >= 0xD800 && wide[length - 1] <= 0xDBFF) --length;
  }
  for (size_t i = 0; i < length; ++i) Target[i] = static_cast<WCHAR>(wide[i]);
  Target[length] = 0;
}
