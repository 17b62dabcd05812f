// Byte-string helpers: line ends, the exact whitespace set, ASCII-only upper-casing, and the
// decimal parser's sign, junk and range handling.
#include <gtest/gtest.h>

#include <cstdint>

#include "util/uStrUtils.h"

namespace {

using Lines = TAnsiStringArray;

TEST(SplitLines, EachLineEndKind) {
  EXPECT_EQ(SplitLines("a\r\nb\n", false), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\rb", false), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\r\n\r\nb", false), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitLines("a\r\n\r\nb", true), (Lines{"a", "b"}));
  EXPECT_EQ(SplitLines("a\n\rb", false), (Lines{"a", "", "b"}));  // LF CR is two ends
  EXPECT_EQ(SplitLines("\n\nx", false), (Lines{"", "", "x"}));
  EXPECT_EQ(SplitLines("x\r", false), (Lines{"x"}));  // a final end adds no entry
  EXPECT_EQ(SplitLines("", false), Lines{});
  EXPECT_EQ(SplitLines("\r\n", true), Lines{});
  EXPECT_EQ(SplitLines("no end", true), (Lines{"no end"}));
}

TEST(SplitLines, BlankSkippingKeepsOtherLinesUntrimmed) {
  std::string nulLine("\t\0 ", 3);
  EXPECT_EQ(SplitLines("  ch> \n" + nulLine + "\n  x\t\n", true), (Lines{"  ch> ", "  x\t"}));
  EXPECT_EQ(SplitLines("  ch> \n" + nulLine + "\n", false), (Lines{"  ch> ", nulLine}));
  // Bytes that are not in the whitespace set make a line non-blank.
  EXPECT_EQ(SplitLines("\v\n\f\n\xa0\n", true), (Lines{"\v", "\f", "\xa0"}));
}

TEST(SplitLines, ManyLines) {
  std::string text;
  Lines expected;
  for (int i = 0; i < 40; ++i) {
    text += std::string(1, static_cast<char>('A' + i % 26)) + "\r\n";
    expected.push_back(std::string(1, static_cast<char>('A' + i % 26)));
  }
  EXPECT_EQ(SplitLines(text, true), expected);
}

TEST(TrimWS, ExactlyTheFiveWhitespaceBytes) {
  EXPECT_EQ(TrimWS(std::string("\t\0  \r\n", 6)), "");
  EXPECT_EQ(TrimWS(std::string(" \0a b\0\t", 7)), "a b");
  EXPECT_EQ(TrimWS(" a \t b "), "a \t b");  // inner whitespace stays
  EXPECT_EQ(TrimWS("\va\f"), "\va\f");      // VT and FF are not whitespace here
  EXPECT_EQ(TrimWS("\xa0x\xa0"), "\xa0x\xa0");
  EXPECT_EQ(TrimWS(""), "");
  EXPECT_EQ(TrimWS("x"), "x");
}

TEST(UpperAscii, OnlyLowerCaseAsciiLettersChange) {
  EXPECT_EQ(UpperAscii("abc XYZ 09 `{ @["), "ABC XYZ 09 `{ @[");
  EXPECT_EQ(UpperAscii("User abort"), "USER ABORT");
  std::string high = "\xe4\xf6\xfc\xe0\xff";  // Latin-1 letters keep their bytes
  EXPECT_EQ(UpperAscii(high), high);
  std::string withNul("a\0b", 3);
  EXPECT_EQ(UpperAscii(withNul), std::string("A\0B", 3));
}

TEST(StrToIntDefault, SignsAndSurroundingWhitespace) {
  EXPECT_EQ(StrToIntDefault("  -42\t\r\n", 9), -42);
  EXPECT_EQ(StrToIntDefault("+7", 9), 7);
  EXPECT_EQ(StrToIntDefault("0", 9), 0);
  EXPECT_EQ(StrToIntDefault("-0", 9), 0);
  EXPECT_EQ(StrToIntDefault("007", 9), 7);
  EXPECT_EQ(StrToIntDefault(std::string("\0 123 \0", 8), 9), 123);
  EXPECT_EQ(StrToIntDefault("4294967296", 9), 4294967296LL);  // beyond 32 bits
}

TEST(StrToIntDefault, AnythingButDigitsGivesDefault) {
  for (const char* text : {"", "   ", "-", "+", "12 34", "12abc", "0x10", "3.5", "--1", "+-1", "1-",
                           " - 1", "1e3", "\xd9\xa3"})
    EXPECT_EQ(StrToIntDefault(text, -1), -1) << text;
}

TEST(StrToIntDefault, SixtyFourBitEdges) {
  EXPECT_EQ(StrToIntDefault("9223372036854775807", -1), INT64_MAX);
  EXPECT_EQ(StrToIntDefault("-9223372036854775808", -1), INT64_MIN);
  // Beyond the range: Default, never a wrapped value (which could pass for a size).
  EXPECT_EQ(StrToIntDefault("9223372036854775808", -1), -1);
  EXPECT_EQ(StrToIntDefault("-9223372036854775809", -1), -1);
  EXPECT_EQ(StrToIntDefault("18446744073709551616", -1), -1);
  EXPECT_EQ(StrToIntDefault("99999999999999999999999999999999", -1), -1);
  EXPECT_EQ(StrToIntDefault("000000000000000000000000000000012", -1), 12);
}

TEST(CardNameKey, FoldsLettersAsTheCardDoes) {
  struct {
    const char* A;
    const char* B;
    bool Same;
  } cases[] = {
      {"a.txt", "A.TXT", true},
      {"\xc3\xa4.txt", "\xc3\x84.txt", true},  // ä, Ä in UTF-8
      {"\xc3\xbf", "\xc5\xb8", true},          // ÿ, Ÿ
      {"\xc5\x82", "\xc5\x81", true},          // ł, Ł (Latin Extended-A, shifted pairs)
      {"\xc4\x8d", "\xc4\x8c", true},          // č, Č
      {"\xce\xb1", "\xce\x91", true},          // α, Α
      {"\xd0\xb6", "\xd0\x96", true},          // ж, Ж
      {"\xd1\x91", "\xd0\x81", true},          // ё, Ё
      // Greek names usually carry tonos, and end in a final sigma.
      {"\xce\xac\xcf\x8e", "\xce\x86\xce\x8f", true},  // ά ώ, Ά Ώ
      {"\xce\xad\xcf\x8c", "\xce\x88\xce\x8c", true},  // έ ό, Έ Ό
      {"\xcf\x82", "\xce\xa3", true},                  // ς, Σ
      {"\xcf\x8a", "\xce\xaa", true},                  // ϊ, Ϊ
      {"\xef\xbd\x81", "\xef\xbc\xa1", true},          // full-width a, A
      {"\xe4.txt", "\xc4.txt", true},                  // Latin-1 bytes of a Windows name
      {"\xe4.txt", "\xc3\xa4.txt", true},              // the same letter in either form
      {"\xc3\xa4", "a", false},
      {"\xc3\xb7", "\xc3\x97", false},  // ÷ and × are no letters
      {"\xc4\xb1", "I", false},         // dotless i stays
  };
  for (const auto& c : cases)
    EXPECT_EQ(CardNameKey(c.A) == CardNameKey(c.B), c.Same) << c.A << " / " << c.B;
}

}  // namespace
