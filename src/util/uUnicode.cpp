// UTF-8, UTF-16 and code page 850 conversions (see uUnicode.h).
#include "util/uUnicode.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// One character decoded from Text at Pos: its code point (U+FFFD for a piece that is not UTF-8)
// and its length in bytes (at least 1). Valid tells which it was.
struct TDecoded {
  char32_t CodePoint = kReplacement;
  size_t Length = 1;
  bool Valid = false;
};

TDecoded DecodeUtf8(std::string_view Text, size_t Pos) {
  TDecoded result;
  const auto lead = static_cast<unsigned char>(Text[Pos]);
  if (lead < 0x80) return {lead, 1, true};
  // The length and the range of the second byte of each lead byte (Unicode 15, table 3-7); the
  // bytes after the second are always 80..BF.
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return result;
  }
  char32_t codePoint = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
  for (size_t i = 1; i < length; ++i) {
    // A sequence cut short is replaced as far as it went (its maximal subpart).
    if (Pos + i >= Text.size()) {
      result.Length = i;
      return result;
    }
    const auto next = static_cast<unsigned char>(Text[Pos + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
      result.Length = i;
      return result;
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  return {codePoint, length, true};
}

void AppendUtf8(std::string& Out, char32_t CodePoint) {
  if (CodePoint < 0x80) {
    Out.push_back(static_cast<char>(CodePoint));
  } else if (CodePoint < 0x800) {
    Out.push_back(static_cast<char>(0xC0 | (CodePoint >> 6)));
    Out.push_back(static_cast<char>(0x80 | (CodePoint & 0x3F)));
  } else if (CodePoint < 0x10000) {
    Out.push_back(static_cast<char>(0xE0 | (CodePoint >> 12)));
    Out.push_back(static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | (CodePoint & 0x3F)));
  } else {
    Out.push_back(static_cast<char>(0xF0 | (CodePoint >> 18)));
    Out.push_back(static_cast<char>(0x80 | ((CodePoint >> 12) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | ((CodePoint >> 6) & 0x3F)));
    Out.push_back(static_cast<char>(0x80 | (CodePoint & 0x3F)));
  }
}

// Characters 0x80..0xFF of code page 850.
constexpr char16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

}  // namespace

std::string Utf16ToUtf8(std::u16string_view Text, bool* Lossless) {
  std::string out;
  out.reserve(Text.size());
  bool lossless = true;
  for (size_t i = 0; i < Text.size(); ++i) {
    char32_t unit = Text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
        Text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (Text[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
      lossless = false;
    } else {
      AppendUtf8(out, unit);
    }
  }
  if (Lossless) *Lossless = lossless;
  return out;
}

std::u16string Utf8ToUtf16(std::string_view Text, bool* Lossless) {
  std::u16string out;
  out.reserve(Text.size());
  bool lossless = true;
  for (size_t pos = 0; pos < Text.size();) {
    TDecoded c = DecodeUtf8(Text, pos);
    lossless = lossless && c.Valid;
    if (c.CodePoint >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c.CodePoint - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c.CodePoint - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c.CodePoint));
    }
    pos += c.Length;
  }
  if (Lossless) *Lossless = lossless;
  return out;
}

std::string ValidUtf8(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t pos = 0; pos < Text.size();) {
    TDecoded c = DecodeUtf8(Text, pos);
    if (c.Valid)
      out.append(Text.substr(pos, c.Length));
    else
      out.append(kReplacementUtf8);
    pos += c.Length;
  }
  return out;
}

size_t Utf8CutLength(std::string_view Text, size_t MaxBytes) {
  size_t pos = 0;
  while (pos < Text.size()) {
    size_t next = pos + DecodeUtf8(Text, pos).Length;
    if (next > MaxBytes) break;
    pos = next;
  }
  return pos;
}

std::string FirstNonAscii(std::string_view Text) {
  for (size_t pos = 0; pos < Text.size();) {
    TDecoded c = DecodeUtf8(Text, pos);
    if (static_cast<unsigned char>(Text[pos]) >= 0x80)
      return std::string(Text.substr(pos, c.Length));
    pos += c.Length;
  }
  return {};
}

std::string Cp850ToUtf8(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (char c : Text) {
    const auto byte = static_cast<unsigned char>(c);
    AppendUtf8(out, byte < 0x80 ? byte : kCp850High[byte - 0x80]);
  }
  return out;
}

std::string Utf8ToCp850(std::string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t pos = 0; pos < Text.size();) {
    TDecoded c = DecodeUtf8(Text, pos);
    pos += c.Length;
    if (c.Valid && c.CodePoint < 0x80) {
      out.push_back(static_cast<char>(c.CodePoint));
      continue;
    }
    char byte = '?';
    for (size_t i = 0; c.Valid && i < 128; ++i) {
      if (kCp850High[i] == c.CodePoint) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out.push_back(byte);
  }
  return out;
}
