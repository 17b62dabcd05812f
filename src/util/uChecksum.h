// The checksums the devices compute over a file of their own card: MD5 (RFC 1321; the Flipper's
// "storage md5") and CRC-32/BZIP2 (the PortaPack's "crc32"). Both take the bytes piece by piece,
// as a transfer moves them, so a copy is checked without reading it a second time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TMd5 {
 public:
  TMd5();
  void Update(std::string_view Data);
  // The digest of everything given so far as 32 lower-case hexadecimal digits, as the Flipper
  // prints it. Update may go on afterwards.
  std::string HexDigest() const;

 private:
  void Block(const unsigned char* Data);
  uint32_t State_[4];
  uint64_t Length_ = 0;
  unsigned char Buffer_[64];
  size_t Buffered_ = 0;
};

// Polynomial 0x04C11DB7, not reflected, initial value and final xor 0xFFFFFFFF: "123456789" gives
// 0xFC891918. (The zlib CRC-32 is the reflected form of the same polynomial and differs.)
class TCrc32Bzip2 {
 public:
  void Update(std::string_view Data);
  uint32_t Value() const { return Crc_ ^ 0xFFFFFFFFu; }

 private:
  uint32_t Crc_ = 0xFFFFFFFFu;
};

// "0x" and 8 upper-case hexadecimal digits, as the PortaPack prints its CRC.
std::string Crc32Text(uint32_t Value);
