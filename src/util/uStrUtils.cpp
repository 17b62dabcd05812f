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
