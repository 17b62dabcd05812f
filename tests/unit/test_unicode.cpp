// UTF-8, UTF-16 and code page 850 conversions and cutting without splitting a character: known
// encodings, every kind of broken input, and glibc's code page 850 table as an independent
// reference.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "util/uUnicode.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Unicode, Utf16AndUtf8OfNamesInEveryScript) {
  struct {
    std::u16string Wide;
    std::string Utf8;
  } cases[] = {
      {u"", ""},
      {u"sample.txt", "sample.txt"},
      {u"Gr\u00FC\u00DFe.txt",
       "Gr\xC3\xBC\xC3\x9F"
       "e.txt"},
      {u"\u0395\u03BB\u03BB\u03B7\u03BD\u03B9\u03BA\u03AC",
       "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC"},
      {u"\u65E5\u672C\u8A9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      // Beyond the 16-bit plane: a surrogate pair in UTF-16, four bytes in UTF-8.
      {u"\U0001F600.txt", "\xF0\x9F\x98\x80.txt"},
      {u"\U0010FFFF\u0080\u07FF\u0800\uFFFF",
       "\xF4\x8F\xBF\xBF\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
  };
  for (const auto& c : cases) {
    bool lossless = false;
    EXPECT_EQ(Utf16ToUtf8(c.Wide, &lossless), c.Utf8);
    EXPECT_TRUE(lossless);
    EXPECT_EQ(Utf8ToUtf16(c.Utf8, &lossless), c.Wide) << c.Utf8;
    EXPECT_TRUE(lossless);
    EXPECT_EQ(ValidUtf8(c.Utf8), c.Utf8);
  }
}

TEST(Unicode, UnpairedSurrogatesBecomeTheReplacementCharacter) {
  struct {
    std::u16string Wide;
    std::string Utf8;
  } cases[] = {
      {u"a\xD800"
       "b",
       "a" + kFffd + "b"},
      {u"a\xDC00", "a" + kFffd},
      {u"\xD83D", kFffd},
      {u"\xDE00\xD83D", kFffd + kFffd},  // a pair the wrong way round
      {u"\xD83D\xD83D\xDE00", kFffd + "\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    bool lossless = true;
    EXPECT_EQ(Utf16ToUtf8(c.Wide, &lossless), c.Utf8);
    EXPECT_FALSE(lossless);
  }
}

TEST(Unicode, BytesThatAreNotUtf8BecomeOneReplacementEachPiece) {
  struct {
    std::string Bytes;
    std::u16string Wide;
  } cases[] = {
      {"\x80", u"\uFFFD"},  // a stray continuation byte
      {"a\xFF"
       "b",
       u"a\uFFFDb"},                                      // never a UTF-8 byte
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // an overlong "/"
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // an overlong "/" in three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xE6\x97", u"\uFFFD"},                            // cut short at the end
      {"\xE6\x97"
       "A",
       u"\uFFFDA"},  // cut short before a letter
      {"\xF0\x9F\x98"
       "\xF0\x9F\x98\x80",
       u"\uFFFD\U0001F600"},
      {"\x9A"
       "berweisung",
       u"\uFFFD"
       "berweisung"},  // a code page 850 name
  };
  for (const auto& c : cases) {
    bool lossless = true;
    EXPECT_EQ(Utf8ToUtf16(c.Bytes, &lossless), c.Wide) << c.Bytes;
    EXPECT_FALSE(lossless) << c.Bytes;
    EXPECT_EQ(ValidUtf8(c.Bytes), Utf16ToUtf8(c.Wide)) << c.Bytes;
  }
}

TEST(Unicode, CutsEndBetweenCharacters) {
  const std::string name =
      "a\xC3\xBC"
      "b\xF0\x9F\x98\x80";  // a, ü, b, 😀: 1 + 2 + 1 + 4 bytes
  struct {
    std::string Text;
    size_t MaxBytes;
    size_t Length;
  } cases[] = {
      {name, 0, 0},
      {name, 1, 1},
      {name, 2, 1},
      {name, 3, 3},
      {name, 4, 4},
      {name, 7, 4},
      {name, 8, 8},
      {name, 100, 8},
      {"x\x80\x80y", 3, 3},  // bytes that are not
                             // UTF-8 count one
                             // each
      {"\xE6\x97", 1, 0},    // a sequence cut short is one piece
      {"\xE6\x97", 2, 2},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf8CutLength(c.Text, c.MaxBytes), c.Length) << c.MaxBytes;
}

TEST(Unicode, FirstCharacterOutsideAscii) {
  EXPECT_EQ(FirstNonAscii("/ext/plain name.sub"), "");
  EXPECT_EQ(FirstNonAscii("/ext/\xC3\x9C"
                          "ber/\xE6\x97\xA5"),
            "\xC3\x9C");
  EXPECT_EQ(FirstNonAscii("a\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(FirstNonAscii("a\x9A"
                          "b"),
            "\x9A");
}

// glibc's own table of code page 850 is the reference for every byte.
TEST(Unicode, CodePage850MatchesTheSystemTable) {
  iconv_t converter = iconv_open("UTF-8", "CP850");
  ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
  for (int byte = 1; byte < 256; ++byte) {
    char in[1] = {static_cast<char>(byte)};
    char out[8] = {};
    char* inPointer = in;
    char* outPointer = out;
    size_t inLeft = 1, outLeft = sizeof(out);
    ASSERT_NE(iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft),
              static_cast<size_t>(-1));
    const std::string expected(out, sizeof(out) - outLeft);
    EXPECT_EQ(Cp850ToUtf8(std::string(1, static_cast<char>(byte))), expected) << byte;
    // And back: every character of the code page has its one byte.
    EXPECT_EQ(Utf8ToCp850(expected), std::string(1, static_cast<char>(byte))) << byte;
  }
  iconv_close(converter);
}

TEST(Unicode, CodePage850Names) {
  EXPECT_EQ(Cp850ToUtf8("\x9A"
                        "berweisung.sub"),
            "\xC3\x9C"
            "berweisung.sub");
  EXPECT_EQ(Cp850ToUtf8("My Garage.sub"), "My Garage.sub");
  // A character outside the code page shows as "?", as the Flipper's card driver lists it.
  EXPECT_EQ(Utf8ToCp850("\xCE\xB1-\xE6\x97\xA5-\xF0\x9F\x98\x80-\x80"), "?-?-?-?");
}

}  // namespace
