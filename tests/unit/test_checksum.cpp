// The two checksums against their published vectors (RFC 1321's test suite; the CRC catalogue's
// check value of CRC-32/BZIP2), fed whole and in every split a transfer's blocks could make, and
// the devices' answers that carry them.
#include <gtest/gtest.h>

#include <string>

#include "devices/uFlipperParse.h"
#include "devices/uPortapackParse.h"
#include "util/uChecksum.h"

namespace {

std::string Md5Of(const std::string& Data) {
  TMd5 md5;
  md5.Update(Data);
  return md5.HexDigest();
}

uint32_t CrcOf(const std::string& Data) {
  TCrc32Bzip2 crc;
  crc.Update(Data);
  return crc.Value();
}

TEST(Md5, Rfc1321TestSuite) {
  struct {
    std::string Data;
    const char* Digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      // A million "a": many blocks, and a length beyond 2^23 bits.
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const auto& c : cases) EXPECT_EQ(Md5Of(c.Data), c.Digest) << c.Data.substr(0, 20);
}

TEST(Crc32Bzip2, CheckValueAndOtherVectors) {
  struct {
    std::string Data;
    uint32_t Crc;
  } cases[] = {
      {"123456789", 0xFC891918u},  // the catalogue's check value (zlib's CRC-32 gives 0xCBF43926)
      {"", 0x00000000u},
      {"a", 0x19939B6Bu},
      {"The quick brown fox jumps over the lazy dog", 0x459DEE61u},
  };
  for (const auto& c : cases) EXPECT_EQ(CrcOf(c.Data), c.Crc) << c.Data;
  EXPECT_EQ(Crc32Text(0xFC891918u), "0xFC891918");
  EXPECT_EQ(Crc32Text(0x1Au), "0x0000001A");
}

// Blocks of any size, across MD5's 64-byte blocks and its padding boundary (55, 56, 63, 64
// bytes), give the digest of the whole; a digest taken midway does not disturb the running one.
TEST(Checksums, PiecesGiveTheChecksumOfTheWhole) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>((i * 37 + 11) & 0xFF);
  for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 300}) {
    const std::string whole = data.substr(0, length);
    for (size_t piece : {1, 3, 63, 64, 65, 1000}) {
      SCOPED_TRACE(std::to_string(length) + " in pieces of " + std::to_string(piece));
      TMd5 md5;
      TCrc32Bzip2 crc;
      for (size_t at = 0; at < length; at += piece) {
        md5.Update(std::string_view(whole).substr(at, piece));
        crc.Update(std::string_view(whole).substr(at, piece));
        md5.HexDigest();
      }
      EXPECT_EQ(md5.HexDigest(), Md5Of(whole));
      EXPECT_EQ(crc.Value(), CrcOf(whole));
    }
  }
}

TEST(ChecksumAnswers, PortapackCrc32) {
  using portapack::TCrcAnswerKind;
  struct {
    const char* Body;
    TCrcAnswerKind Kind;
    uint32_t Value;
  } cases[] = {
      {"CRC32: 0xFC891918", TCrcAnswerKind::Value, 0xFC891918u},
      {"crc32: 0x00000000", TCrcAnswerKind::Value, 0},
      {"noise\nCRC32: 0xdeadBEEF", TCrcAnswerKind::Value, 0xDEADBEEFu},
      {"crc32 ?", TCrcAnswerKind::UnknownCommand, 0},
      {"Error calling delete_file: 4 no file", TCrcAnswerKind::Other, 0},
      {"usage: crc32 <path>", TCrcAnswerKind::Other, 0},
      {"CRC32: 0xFC89191", TCrcAnswerKind::Other, 0},
      {"CRC32: 0xFC8919180", TCrcAnswerKind::Other, 0},
      {"CRC32: 0xFC89191G", TCrcAnswerKind::Other, 0},
      {"", TCrcAnswerKind::Other, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 0;
    EXPECT_EQ(portapack::ParseCrcAnswer(c.Body, value), c.Kind) << c.Body;
    if (c.Kind == TCrcAnswerKind::Value) {
      EXPECT_EQ(value, c.Value) << c.Body;
    }
  }
}

TEST(ChecksumAnswers, FlipperMd5) {
  struct {
    const char* Body;
    const char* Digest;  // null: none
  } cases[] = {
      {"d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427e"},
      {"  D41D8CD98F00B204E9800998ECF8427E  ", "d41d8cd98f00b204e9800998ecf8427e"},
      {"Storage error: file/dir not exist", nullptr},
      {"d41d8cd98f00b204e9800998ecf8427", nullptr},
      {"d41d8cd98f00b204e9800998ecf8427e0", nullptr},
      {"x41d8cd98f00b204e9800998ecf8427e", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    std::string digest;
    EXPECT_EQ(flipper::ParseMd5Answer(c.Body, digest), c.Digest != nullptr) << c.Body;
    if (c.Digest) {
      EXPECT_EQ(digest, c.Digest);
    }
  }
}

}  // namespace
