// MD5 after RFC 1321 and a table-driven CRC-32/BZIP2.
#include "util/uChecksum.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Per-round left rotations and the constants floor(abs(sin(i + 1)) * 2^32) of RFC 1321.
constexpr uint32_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t RotateLeft(uint32_t X, uint32_t N) {
  return (X << N) | (X >> (32 - N));
}

// The CRC of each byte value shifted to the top: one table step replaces eight bit steps.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    table[byte] = crc;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

TMd5::TMd5() : State_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, Buffer_{} {}

void TMd5::Block(const unsigned char* Data) {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i)
    words[i] = static_cast<uint32_t>(Data[i * 4]) | static_cast<uint32_t>(Data[i * 4 + 1]) << 8 |
               static_cast<uint32_t>(Data[i * 4 + 2]) << 16 |
               static_cast<uint32_t>(Data[i * 4 + 3]) << 24;
  uint32_t a = State_[0], b = State_[1], c = State_[2], d = State_[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f = 0;
    uint32_t g = 0;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t next = d;
    d = c;
    c = b;
    b = b + RotateLeft(a + f + kSine[i] + words[g], kShift[i]);
    a = next;
  }
  State_[0] += a;
  State_[1] += b;
  State_[2] += c;
  State_[3] += d;
}

void TMd5::Update(std::string_view Data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(Data.data());
  size_t left = Data.size();
  Length_ += left;
  while (left > 0) {
    const size_t take = std::min(left, sizeof(Buffer_) - Buffered_);
    std::memcpy(Buffer_ + Buffered_, bytes, take);
    Buffered_ += take;
    bytes += take;
    left -= take;
    if (Buffered_ == sizeof(Buffer_)) {
      Block(Buffer_);
      Buffered_ = 0;
    }
  }
}

std::string TMd5::HexDigest() const {
  // The padding goes into a copy, so that the running digest can take more bytes.
  TMd5 final = *this;
  const uint64_t bits = Length_ * 8;
  const unsigned char pad[64] = {0x80};
  final.Update(std::string_view(reinterpret_cast<const char*>(pad),
                                Buffered_ < 56 ? 56 - Buffered_ : 120 - Buffered_));
  char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<char>(bits >> (8 * i));
  final.Update(std::string_view(length, sizeof(length)));
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint32_t word : final.State_) {
    for (int i = 0; i < 4; ++i) {
      const auto byte = static_cast<unsigned char>(word >> (8 * i));
      text += kHex[byte >> 4];
      text += kHex[byte & 15];
    }
  }
  return text;
}

void TCrc32Bzip2::Update(std::string_view Data) {
  uint32_t crc = Crc_;
  for (char c : Data) crc = (crc << 8) ^ kCrcTable[(crc >> 24) ^ static_cast<unsigned char>(c)];
  Crc_ = crc;
}

std::string Crc32Text(uint32_t Value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(Value));
  return text;
}
