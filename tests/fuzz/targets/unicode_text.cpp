// Names in any language: the conversions between UTF-8, UTF-16 and code page 850, and the texts
// at the host boundary. Input: any bytes, read as UTF-8 (a device's or the host's name), as code
// page 850 (a Flipper's name) and, in pairs, as UTF-16 (a wide name from the host). Checked: each
// conversion gives UTF-8 back, round trips keep what was convertible, a cut never ends inside a
// character, and the host's buffers stay NUL-terminated inside their size.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "plugin/uHostText.h"
#include "util/uUnicode.h"

namespace {

bool IsUtf8(const std::string& Text) {
  return ValidUtf8(Text) == Text;
}

void CheckUtf8(const std::string& Bytes) {
  const std::string valid = ValidUtf8(Bytes);
  FUZZ_CHECK(IsUtf8(valid), "ValidUtf8 twice differs for " + fuzz::Shown(Bytes));
  bool lossless = false;
  const std::u16string wide = Utf8ToUtf16(Bytes, &lossless);
  FUZZ_CHECK(lossless == (valid == Bytes), "Utf8ToUtf16's lossless flag for " + fuzz::Shown(Bytes));
  bool back = false;
  FUZZ_CHECK(Utf16ToUtf8(wide, &back) == valid && back,
             "UTF-16 and back is not the valid text of " + fuzz::Shown(Bytes));

  for (const size_t limit : {size_t{0}, size_t{1}, size_t{3}, Bytes.size() / 2, size_t{259}}) {
    const size_t cut = Utf8CutLength(Bytes, limit);
    FUZZ_CHECK(cut <= limit && cut <= Bytes.size(), "a cut beyond its limit");
    const std::string head = ValidUtf8(Bytes.substr(0, cut));
    FUZZ_CHECK(valid.compare(0, head.size(), head) == 0,
               "a cut at " + std::to_string(cut) + " ends inside a character");
  }

  const std::string first = FirstNonAscii(Bytes);
  size_t ascii = 0;
  while (ascii < Bytes.size() && static_cast<unsigned char>(Bytes[ascii]) < 0x80) ++ascii;
  FUZZ_CHECK(first.empty() == (ascii == Bytes.size()), "FirstNonAscii missed or made one");
  if (!first.empty())
    FUZZ_CHECK(Bytes.compare(ascii, first.size(), first) == 0, "FirstNonAscii from elsewhere");

  // A Flipper's name: every byte of code page 850 is a character and comes back as itself.
  const std::string fromCard = Cp850ToUtf8(Bytes);
  FUZZ_CHECK(IsUtf8(fromCard), "code page 850 gave no UTF-8");
  FUZZ_CHECK(Utf8ToCp850(fromCard) == Bytes, "code page 850 and back differs");
  const std::string toCard = Utf8ToCp850(Bytes);
  FUZZ_CHECK(toCard.size() <= Bytes.size(), "a longer code page 850 name");
}

void CheckUtf16(const std::u16string& Wide) {
  bool lossless = false;
  const std::string text = Utf16ToUtf8(Wide, &lossless);
  FUZZ_CHECK(IsUtf8(text), "UTF-16 gave no UTF-8");
  if (lossless) FUZZ_CHECK(Utf8ToUtf16(text) == Wide, "UTF-16 and back differs");
}

// A name through the host's functions: either refused with a reason or UTF-8.
template <typename TChar>
void CheckFromHost(const std::basic_string<TChar>& Name) {
  for (auto* convert : {static_cast<std::string (*)(const TChar*)>(&RemoteNameFromHost),
                        static_cast<std::string (*)(const TChar*)>(&LocalNameFromHost)}) {
    try {
      const std::string name = convert(Name.c_str());
      if constexpr (sizeof(TChar) == 2) FUZZ_CHECK(IsUtf8(name), "a host name gave no UTF-8");
    } catch (const TNameError& e) {
      FUZZ_CHECK(std::strlen(e.what()) > 0, "a refusal without a reason");
    }
  }
}

void CheckToHost(const std::string& Text) {
  const std::vector<char> ansi = AnsiHostBuffer(Text);
  FUZZ_CHECK(!ansi.empty() && ansi.back() == 0, "an ANSI buffer without its NUL");
  const std::vector<WCHAR> wide = WideHostBuffer(Text);
  FUZZ_CHECK(!wide.empty() && wide.back() == 0, "a wide buffer without its NUL");

  char ansiName[MAX_PATH];
  std::memset(ansiName, 'x', sizeof ansiName);
  CopyFindDataName(Text, ansiName);
  FUZZ_CHECK(std::memchr(ansiName, 0, sizeof ansiName) != nullptr, "an ANSI name without NUL");
  WCHAR wideName[MAX_PATH];
  for (WCHAR& c : wideName) c = u'x';
  CopyFindDataName(Text, wideName);
  const std::u16string_view shown(wideName, MAX_PATH);
  FUZZ_CHECK(shown.find(u'\0') != std::u16string_view::npos, "a wide name without NUL");
  const std::u16string whole = Utf8ToUtf16(Text.substr(0, Text.find('\0')));
  const std::u16string_view cut = shown.substr(0, shown.find(u'\0'));
  FUZZ_CHECK(whole.compare(0, cut.size(), cut) == 0, "a wide find-data name that is not the name");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string bytes(reinterpret_cast<const char*>(Data), Size);
  CheckUtf8(bytes);
  std::u16string wide(Size / 2, u'\0');
  for (size_t i = 0; i < wide.size(); ++i)
    wide[i] = static_cast<char16_t>(Data[2 * i] | (Data[2 * i + 1] << 8));
  CheckUtf16(wide);
  CheckFromHost(bytes);
  CheckFromHost(wide);
  CheckToHost(bytes);
  return 0;
}
