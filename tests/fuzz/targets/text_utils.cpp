// The byte-string helpers under every parser of device answers, each checked against what it
// promises: line splitting, trimming, upper-casing, the decimal parser (against a reference that
// cannot overflow) and the card's name key.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "util/uStrUtils.h"

namespace {

bool IsWS(char C) {
  return C == 0 || C == 9 || C == 10 || C == 13 || C == 32;
}

bool IsLineEnd(char C) {
  return C == '\r' || C == '\n';
}

void CheckSplitLines(const std::string& Text) {
  std::string joined;
  for (const std::string& line : SplitLines(Text, false)) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "a line end inside a line");
    joined += line;
  }
  std::string withoutEnds;
  for (char c : Text)
    if (!IsLineEnd(c)) withoutEnds += c;
  FUZZ_CHECK(joined == withoutEnds, "SplitLines lost or added bytes");
  for (const std::string& line : SplitLines(Text, true))
    FUZZ_CHECK(!TrimWS(line).empty(), "SplitLines kept a blank piece");
}

void CheckTrim(const std::string& Text) {
  const std::string trimmed = TrimWS(Text);
  FUZZ_CHECK(Text.find(trimmed) != std::string::npos, "TrimWS gave no part of its text");
  FUZZ_CHECK(trimmed.empty() || (!IsWS(trimmed.front()) && !IsWS(trimmed.back())),
             "TrimWS left whitespace at an end");
  FUZZ_CHECK(TrimWS(trimmed) == trimmed, "TrimWS is not idempotent");
}

void CheckUpper(const std::string& Text) {
  const std::string upper = UpperAscii(Text);
  FUZZ_CHECK(upper.size() == Text.size(), "UpperAscii changed the length");
  for (size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    const char expected = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    FUZZ_CHECK(upper[i] == expected, "UpperAscii changed a byte other than a-z");
  }
}

// The decimal value of Text when it is one (optional sign, digits, whitespace around) and fits
// in 64 bits; false otherwise. Gathered in 128 bits, so no step can overflow.
bool ReferenceDecimal(const std::string& Text, int64_t& Value) {
  size_t first = 0, last = Text.size();
  while (first < last && IsWS(Text[first])) ++first;
  while (last > first && IsWS(Text[last - 1])) --last;
  if (first == last) return false;
  bool negative = false;
  if (Text[first] == '+' || Text[first] == '-') negative = Text[first++] == '-';
  if (first == last) return false;
  __int128 value = 0;
  for (size_t i = first; i < last; ++i) {
    if (Text[i] < '0' || Text[i] > '9') return false;
    value = value * 10 + (Text[i] - '0');
    if (value > (static_cast<__int128>(1) << 64)) return false;
  }
  if (negative) value = -value;
  if (value < INT64_MIN || value > INT64_MAX) return false;
  Value = static_cast<int64_t>(value);
  return true;
}

void CheckDecimal(const std::string& Text) {
  int64_t expected = 0;
  const bool isNumber = ReferenceDecimal(Text, expected);
  // Two different defaults tell a parsed value from the default.
  const int64_t a = StrToIntDefault(Text, -7);
  const int64_t b = StrToIntDefault(Text, 11);
  if (isNumber) {
    FUZZ_CHECK(a == expected && b == expected, "StrToIntDefault misread " + fuzz::Shown(Text));
  } else {
    FUZZ_CHECK(a == -7 && b == 11, "StrToIntDefault took " + fuzz::Shown(Text) + " as a number");
  }
}

void CheckCardKey(const std::string& Text) {
  const std::u32string key = CardNameKey(Text);
  FUZZ_CHECK(key.size() <= Text.size(), "a name key longer than its name");
  // Upper-casing ASCII letters keeps every UTF-8 sequence as it is, and the key folds case anyway.
  FUZZ_CHECK(CardNameKey(UpperAscii(Text)) == key, "the name key depends on ASCII letter case");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  CheckSplitLines(text);
  CheckTrim(text);
  CheckUpper(text);
  CheckDecimal(text);
  CheckCardKey(text);
  FUZZ_CHECK(Contains(text, "ch> ") == (text.find("ch> ") != std::string::npos),
             "Contains disagrees with find");
  return 0;
}
