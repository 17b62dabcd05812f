// MD5 (RFC 1321) and CRC-32/BZIP2 for the simulated checksum commands.
#include "Checksums.h"

#include <algorithm>
#include <cstring>

namespace devsim {

namespace {

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

}  // namespace

TMd5::TMd5() : State_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, Buffer_{} {}

void TMd5::Block(const unsigned char* Data) {
  uint32_t M[16];
  for (int I = 0; I < 16; ++I) {
    M[I] = static_cast<uint32_t>(Data[I * 4]) | static_cast<uint32_t>(Data[I * 4 + 1]) << 8 |
           static_cast<uint32_t>(Data[I * 4 + 2]) << 16 |
           static_cast<uint32_t>(Data[I * 4 + 3]) << 24;
  }
  uint32_t A = State_[0], B = State_[1], C = State_[2], D = State_[3];
  for (uint32_t I = 0; I < 64; ++I) {
    uint32_t F;
    uint32_t G;
    if (I < 16) {
      F = (B & C) | (~B & D);
      G = I;
    } else if (I < 32) {
      F = (D & B) | (~D & C);
      G = (5 * I + 1) % 16;
    } else if (I < 48) {
      F = B ^ C ^ D;
      G = (3 * I + 5) % 16;
    } else {
      F = C ^ (B | ~D);
      G = (7 * I) % 16;
    }
    uint32_t Next = D;
    D = C;
    C = B;
    B = B + RotateLeft(A + F + kSine[I] + M[G], kShift[I]);
    A = Next;
  }
  State_[0] += A;
  State_[1] += B;
  State_[2] += C;
  State_[3] += D;
}

void TMd5::Update(std::string_view Data) {
  const unsigned char* P = reinterpret_cast<const unsigned char*>(Data.data());
  size_t Left = Data.size();
  Length_ += Left;
  while (Left > 0) {
    size_t Take = std::min(Left, sizeof(Buffer_) - Buffered_);
    std::memcpy(Buffer_ + Buffered_, P, Take);
    Buffered_ += Take;
    P += Take;
    Left -= Take;
    if (Buffered_ == sizeof(Buffer_)) {
      Block(Buffer_);
      Buffered_ = 0;
    }
  }
}

std::string TMd5::HexDigest() {
  uint64_t Bits = Length_ * 8;
  unsigned char Pad[72] = {0x80};
  size_t PadLength = (Buffered_ < 56) ? 56 - Buffered_ : 120 - Buffered_;
  Update(std::string_view(reinterpret_cast<const char*>(Pad), PadLength));
  unsigned char LengthBytes[8];
  for (int I = 0; I < 8; ++I) LengthBytes[I] = static_cast<unsigned char>(Bits >> (8 * I));
  Update(std::string_view(reinterpret_cast<const char*>(LengthBytes), 8));
  static const char Hex[] = "0123456789abcdef";
  std::string Text;
  for (uint32_t Word : State_) {
    for (int I = 0; I < 4; ++I) {
      unsigned char Byte = static_cast<unsigned char>(Word >> (8 * I));
      Text += Hex[Byte >> 4];
      Text += Hex[Byte & 15];
    }
  }
  return Text;
}

uint32_t Crc32Bzip2(uint32_t Crc, std::string_view Data) {
  for (char C : Data) {
    Crc ^= static_cast<uint32_t>(static_cast<unsigned char>(C)) << 24;
    for (int Bit = 0; Bit < 8; ++Bit) {
      Crc = (Crc & 0x80000000u) ? (Crc << 1) ^ 0x04C11DB7u : Crc << 1;
    }
  }
  return Crc;
}

}  // namespace devsim
