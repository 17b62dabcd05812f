// UTF-8 to and from the UTF-16 of the Windows "W" calls, for the Win32 implementations: every
// path and text above src/platform/ is UTF-8, so local files, the temporary folder and the
// environment are reached through the W calls, never the ANSI ones (which would lose every
// character outside the ANSI code page).
#pragma once

#include <string>

namespace platform::win32 {

// Text that is not UTF-8 becomes U+FFFD (MultiByteToWideChar's rule).
std::wstring WideFromUtf8(const std::string& Text);
// An unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(const wchar_t* Text, size_t Length);

}  // namespace platform::win32
