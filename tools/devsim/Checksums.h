// The two file checksums the devices compute on their own: MD5 (Flipper "storage md5") and
// CRC-32/BZIP2 (PortaPack "crc32": polynomial 0x04C11DB7, not reflected, init and xor-out
// 0xFFFFFFFF; "123456789" gives 0xFC891918, unlike the zlib CRC-32).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace devsim {

class TMd5 {
 public:
  TMd5();
  void Update(std::string_view Data);
  // 32 lower-case hexadecimal digits.
  std::string HexDigest();

 private:
  void Block(const unsigned char* Data);
  uint32_t State_[4];
  uint64_t Length_ = 0;
  unsigned char Buffer_[64];
  size_t Buffered_ = 0;
};

uint32_t Crc32Bzip2(uint32_t Crc, std::string_view Data);

}  // namespace devsim
