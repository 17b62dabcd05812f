// Names in any language. Inside the plug-in every text is UTF-8; these pure functions convert it
// to and from UTF-16 (the host's wide interface) and code page 850 (the Flipper's card names) and
// cut it without splitting a character. (A card's upper case is CardNameKey in uStrUtils.h.)
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// U+FFFD in UTF-8: what stands for a piece of text that could not be converted.
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD; Lossless, when given, tells whether the
// text had none.
std::string Utf16ToUtf8(std::u16string_view Text, bool* Lossless = nullptr);
// UTF-8 to UTF-16. Each piece that is not UTF-8 (a stray continuation byte, an overlong form, an
// encoded surrogate, a value beyond U+10FFFF, a sequence cut short) becomes one U+FFFD, as the
// Unicode standard recommends; Lossless, when given, tells whether there was none.
std::u16string Utf8ToUtf16(std::string_view Text, bool* Lossless = nullptr);
// Text with every piece that is not UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view Text);
// The length of the longest start of Text that has at most MaxBytes bytes and does not end inside
// a character (each piece that is not UTF-8, as Utf8ToUtf16 replaces it, counts as one).
size_t Utf8CutLength(std::string_view Text, size_t MaxBytes);
// The first character of Text that is not ASCII (all its bytes), or an empty string.
std::string FirstNonAscii(std::string_view Text);

// Code page 850, the one the Flipper's card driver uses for names, to UTF-8: every byte stands for
// a character.
std::string Cp850ToUtf8(std::string_view Text);
// UTF-8 to code page 850; a character the code page lacks becomes "?", as the Flipper's card
// driver shows such a name.
std::string Utf8ToCp850(std::string_view Text);
