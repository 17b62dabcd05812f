// Byte-string helpers for device answers. Whitespace is exactly NUL, TAB, LF, CR and blank.
#include "util/uStrUtils.h"

namespace {

bool IsWS(char C) {
  return C == 0 || C == 9 || C == 10 || C == 13 || C == 32;
}

}  // namespace

TAnsiStringArray SplitLines(const std::string& Text, bool SkipBlank) {
  TAnsiStringArray lines;
  auto take = [&](size_t From, size_t To) {
    std::string piece = Text.substr(From, To - From);
    if (!SkipBlank || !TrimWS(piece).empty()) lines.push_back(std::move(piece));
  };
  size_t start = 0;
  size_t i = 0;
  while (i < Text.size()) {
    char c = Text[i];
    if (c != 13 && c != 10) {
      ++i;
      continue;
    }
    take(start, i);
    // CR LF is one line end; LF CR is two.
    if (c == 13 && i + 1 < Text.size() && Text[i + 1] == 10) ++i;
    ++i;
    start = i;
  }
  if (start < Text.size()) take(start, Text.size());
  return lines;
}

std::string TrimWS(const std::string& S) {
  size_t first = 0;
  size_t last = S.size();
  while (first < last && IsWS(S[first])) ++first;
  while (last > first && IsWS(S[last - 1])) --last;
  return S.substr(first, last - first);
}

std::string UpperAscii(const std::string& S) {
  std::string result = S;
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return result;
}

bool IsHexDigits(const std::string& Text, size_t Count) {
  if (Text.size() != Count) return false;
  for (char c : Text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

int64_t StrToIntDefault(const std::string& S, int64_t Default) {
  std::string t = TrimWS(S);
  if (t.empty()) return Default;
  size_t i = 0;
  bool negative = false;
  if (t[0] == '-' || t[0] == '+') {
    negative = t[0] == '-';
    i = 1;
  }
  if (i == t.size()) return Default;
  // The magnitude is gathered unsigned, so no step can overflow a signed value. A number outside
  // the 64-bit range is no size or count any device means: it gives Default like other non-numbers.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t value = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c < '0' || c > '9') return Default;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return Default;
    value = value * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(value);
  // -2^63 has no positive counterpart; form it without negating a signed value.
  return value == (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(value);
}

bool Contains(const std::string& Text, const char* Part) {
  return Text.find(Part) != std::string::npos;
}

namespace {

// The next character of Name from byte I on: a UTF-8 sequence of two or three bytes, or one byte.
char32_t NextCharacter(const std::string& Name, size_t& I) {
  auto byte = [&](size_t At) { return static_cast<unsigned char>(Name[At]); };
  auto follows = [&](size_t At) { return At < Name.size() && (byte(At) & 0xC0) == 0x80; };
  const unsigned char lead = byte(I);
  if (lead >= 0xC2 && lead < 0xE0 && follows(I + 1)) {
    char32_t c = ((lead & 0x1Fu) << 6) | (byte(I + 1) & 0x3Fu);
    I += 2;
    return c;
  }
  if (lead >= 0xE0 && lead < 0xF0 && follows(I + 1) && follows(I + 2)) {
    char32_t c = ((lead & 0x0Fu) << 12) | ((byte(I + 1) & 0x3Fu) << 6) | (byte(I + 2) & 0x3Fu);
    I += 3;
    if (c >= 0x800) return c;
    I -= 3;  // an over-long form is no character: fall through to the byte
  }
  ++I;
  return lead;
}

char32_t UpperCardLetter(char32_t C) {
  if (C >= U'a' && C <= U'z') return C - 32;
  // Latin-1: à..þ without the division sign; ÿ goes to Ÿ.
  if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return C - 0x20;
  if (C == 0xFF) return 0x178;
  // Latin Extended-A: pairs of upper and lower case, lower one second; in two runs the pairs start
  // one later. A few letters have no pair here (dotless i, kra, 'n, long s).
  if (C >= 0x100 && C <= 0x17F && C != 0x131 && C != 0x138 && C != 0x149 && C != 0x17F) {
    bool shifted = (C >= 0x139 && C <= 0x148) || (C >= 0x179 && C <= 0x17E);
    bool lower = shifted ? (C % 2) == 0 : (C % 2) == 1;
    return lower ? C - 1 : C;
  }
  // Greek: the basic letters and those with dialytika; the final sigma is a sigma; the letters
  // with tonos have capitals of their own.
  if (C == 0x3C2) return 0x3A3;
  if (C >= 0x3B1 && C <= 0x3CB) return C - 0x20;
  if (C == 0x3AC) return 0x386;
  if (C >= 0x3AD && C <= 0x3AF) return C - 0x25;
  if (C == 0x3CC) return 0x38C;
  if (C == 0x3CD || C == 0x3CE) return C - 0x3F;
  // Cyrillic.
  if (C >= 0x430 && C <= 0x44F) return C - 0x20;
  if (C >= 0x450 && C <= 0x45F) return C - 0x50;
  // Full-width Latin.
  if (C >= 0xFF41 && C <= 0xFF5A) return C - 0x20;
  return C;
}

}  // namespace

std::u32string CardNameKey(const std::string& Name) {
  std::u32string key;
  key.reserve(Name.size());
  for (size_t i = 0; i < Name.size();) key.push_back(UpperCardLetter(NextCharacter(Name, i)));
  return key;
}
