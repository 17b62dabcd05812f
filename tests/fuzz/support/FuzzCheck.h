// What every fuzz target shares: libFuzzer's entry point, a check that ends the run with a
// message (a broken property is reported like a crash, with the input saved), and a reader that
// cuts one input into the several strings a target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace fuzz {

[[noreturn]] inline void Fail(const char* File, int Line, const std::string& What) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", File, Line, What.c_str());
  std::fflush(stderr);
  std::abort();
}

// The bytes as a readable text for a failure message: printable ASCII as is, the rest escaped.
inline std::string Shown(const std::string& Bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text = "\"";
  for (unsigned char c : Bytes.substr(0, 300)) {
    if (c >= 32 && c < 127 && c != '\\' && c != '"') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 15];
    }
  }
  return text + (Bytes.size() > 300 ? "\"..." : "\"");
}

// An input cut into pieces at a separator byte sequence. Keeping the pieces apart by a marker
// rather than by lengths lets the fuzzer's insertions and deletions keep the shape of an input.
inline std::vector<std::string> SplitInput(const uint8_t* Data, size_t Size,
                                           const std::string& Separator) {
  std::vector<std::string> pieces;
  const std::string input(reinterpret_cast<const char*>(Data), Size);
  size_t start = 0;
  for (;;) {
    const size_t at = input.find(Separator, start);
    if (at == std::string::npos) break;
    pieces.push_back(input.substr(start, at - start));
    start = at + Separator.size();
  }
  pieces.push_back(input.substr(start));
  return pieces;
}

// The Index-th piece, or an empty string when the input has fewer.
inline const std::string& Piece(const std::vector<std::string>& Pieces, size_t Index) {
  static const std::string kEmpty;
  return Index < Pieces.size() ? Pieces[Index] : kEmpty;
}

}  // namespace fuzz

#define FUZZ_CHECK(Condition, What) \
  ((Condition) ? static_cast<void>(0) : ::fuzz::Fail(__FILE__, __LINE__, (What)))
