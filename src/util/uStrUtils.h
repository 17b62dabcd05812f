// Byte-string helpers for taking device answers apart: line splitting, trimming, ASCII
// upper-casing and a forgiving decimal parser. Strings are raw bytes, one character a byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TAnsiStringArray = std::vector<std::string>;

// Breaks Text at CR, LF and CR LF. With SkipBlank, pieces that are whitespace only are left out;
// kept pieces are returned untrimmed.
TAnsiStringArray SplitLines(const std::string& Text, bool SkipBlank);
// Removes NUL, TAB, LF, CR and blank from both ends.
std::string TrimWS(const std::string& S);
// Whether Part occurs anywhere in Text (exact bytes).
bool Contains(const std::string& Text, const char* Part);
// Turns a-z into A-Z; every other byte stays.
std::string UpperAscii(const std::string& S);
// Whether Text is exactly Count hexadecimal digits (either letter case).
bool IsHexDigits(const std::string& Text, size_t Count);
// Decimal with optional sign and surrounding whitespace; Default for anything else, including a
// number outside the signed 64-bit range.
int64_t StrToIntDefault(const std::string& S, int64_t Default);
// The form in which a memory card's FAT file system compares a name: letters folded to upper
// case, for ASCII and for the Latin (Latin-1, Latin Extended-A and full-width), Greek (with tonos
// and the final sigma) and Cyrillic letters of a UTF-8 name, so "ä.txt" and "Ä.TXT" give the same
// key. A byte that is not part of a valid UTF-8 sequence counts as the Latin-1 character of its
// value (a name in the Windows code page).
std::u32string CardNameKey(const std::string& Name);
