// The Flipper's answer parsers on answer strings as the command line prints them: cleaning,
// listing lines, stat sizes, and which paths can be typed at all.
#include <gtest/gtest.h>

#include "devices/uFlipperParse.h"

namespace {

using flipper::TListLineKind;
using flipper::TStatKind;

TEST(FlipperCleanResponse, DropsEchoPromptsBlankAndColourLinesOnly) {
  struct {
    const char* Response;
    const char* Cmd;
    const char* Clean;
  } cases[] = {
      // Echo and prompt alone clean to nothing.
      {"storage remove /ext/a\r\n\r\n>: ", "storage remove /ext/a", ""},
      {"storage list /ext\r\n\t[D] apps\r\n\t[F] notes 2.txt 1234b\r\n\r\n>: ", "storage list /ext",
       "\t[D] apps\n\t[F] notes 2.txt 1234b"},
      // The echo is compared once both sides are trimmed, case-sensitively.
      {"  storage stat /ext/x \r\nFile, size: 3b\r\n>: ", " storage stat /ext/x", "File, size: 3b"},
      {"STORAGE STAT /EXT/X\r\n>: ", "storage stat /ext/x", "STORAGE STAT /EXT/X"},
      // An echo with anything more on it stays whole and reaches the caller's parser.
      {">: storage list /int\r\n\tEmpty\r\n>: ", "storage list /int",
       ">: storage list /int\n\tEmpty"},
      // Lines starting with ESC go whatever follows; an ESC later in a line does not.
      {"foo\r\n\x1b[31mcould not find command `foo`, try `help`\x1b[0m\r\n>: ", "foo", ""},
      {"x \x1b[0m\r\n", "", "x \x1b[0m"},
      // Bare prompts go, a prompt with more on it stays.
      {">:\r\n:\r\n >: \r\n>:x\r\n", "", ">:x"},
      // Kept lines keep their blanks; CR, LF and CR LF all end lines; joined with LF.
      {"  a b  \rc\nd\r\n\r\n\r\ne", "", "  a b  \nc\nd\ne"},
      {"", "storage list /ext", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(flipper::CleanResponse(c.Response, c.Cmd), c.Clean) << c.Response;
  }
}

TEST(FlipperListLine, GrammarOfDirectoryAndFileLines) {
  struct {
    const char* Line;
    TListLineKind Kind;
    const char* Name;
    bool IsDir;
    int64_t Size;
  } cases[] = {
      {"\t[D] apps", TListLineKind::Entry, "apps", true, 0},
      {"\t[F] notes 2.txt 1234b", TListLineKind::Entry, "notes 2.txt", false, 1234},
      {"[D]  My Folder  ", TListLineKind::Entry, "My Folder", true, 0},
      {"[D] 12 34b", TListLineKind::Entry, "12 34b", true, 0},
      {"[F]   spaced   name   7b", TListLineKind::Entry, "spaced   name", false, 7},
      {"[F] 4g.bin 4294967295b", TListLineKind::Entry, "4g.bin", false, 4294967295},
      {"[F] noblank", TListLineKind::Entry, "noblank", false, 0},
      {"[F] units.bin 99KiB", TListLineKind::Entry, "units.bin", false, 99},
      {"[F] dotted.bin 12.5b", TListLineKind::Entry, "dotted.bin", false, 0},
      {"[F] nosize.bin b", TListLineKind::Entry, "nosize.bin", false, 0},
      // A negative number is no size either (it would show as some 16 EiB).
      {"[F] negative.bin -8b", TListLineKind::Entry, "negative.bin", false, 0},
      {"[F] error.txt 3b", TListLineKind::Entry, "error.txt", false, 3},
      {"[D] ..", TListLineKind::Entry, "..", true, 0},
      // Names come in code page 850 and leave as UTF-8; ASCII names stay as they are.
      {"\t[F] \x9A"
       "berweisung.sub 42b",
       TListLineKind::Entry,
       "\xC3\x9C"
       "berweisung.sub",
       false, 42},
      {"[D] Gr\x81\xE1"
       "e",
       TListLineKind::Entry,
       "Gr\xC3\xBC\xC3\x9F"
       "e",
       true, 0},
      {"\tEmpty", TListLineKind::NoMarker, "", false, 0},
      {"[D]", TListLineKind::NoMarker, "", false, 0},
      {"\t[D] \t", TListLineKind::NoMarker, "", false, 0},
      {"D] x", TListLineKind::NoMarker, "", false, 0},
      {"[d] lower", TListLineKind::NotDirOrFile, "", false, 0},
      {"[f] lower 1b", TListLineKind::NotDirOrFile, "", false, 0},
      {"[X] other", TListLineKind::NotDirOrFile, "", false, 0},
      {"Storage error: file/dir not exist", TListLineKind::StorageError, "", false, 0},
      {"[F] storage ERROR log.txt 5b", TListLineKind::StorageError, "", false, 0},
      {"ERROR: bad", TListLineKind::Error, "", false, 0},
      {"  error", TListLineKind::Error, "", false, 0},
      {" \t\r ", TListLineKind::Blank, "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    flipper::TListLine parsed = flipper::ParseListLine(c.Line);
    EXPECT_EQ(parsed.Kind, c.Kind);
    if (c.Kind != TListLineKind::Entry) continue;
    EXPECT_EQ(parsed.Entry.Name, c.Name);
    EXPECT_EQ(parsed.Entry.IsDir, c.IsDir);
    EXPECT_EQ(parsed.Entry.Size, c.Size);
    EXPECT_FALSE(parsed.Entry.HasTime);
  }
  // Failing lines carry their trimmed text for LastError.
  EXPECT_EQ(flipper::ParseListLine("\tStorage error: access denied \r").Text,
            "Storage error: access denied");
}

TEST(FlipperStatAnswer, FirstSizeOrErrorLineDecides) {
  struct {
    const char* Body;
    TStatKind Kind;
    int64_t Size;
    const char* ErrorLine;
  } cases[] = {
      {"File, size: 1234b", TStatKind::Size, 1234, ""},
      {"file, SIZE:   77b", TStatKind::Size, 77, ""},
      {"noise then size: 5", TStatKind::Size, 5, ""},
      {"size: 12x34", TStatKind::Size, 12, ""},
      {"File, size: 0b", TStatKind::Size, 0, ""},
      {"Directory\nFile, size: 9b\nFile, size: 10b", TStatKind::Size, 9, ""},
      {"File, size: 5b\nStorage error: late", TStatKind::Size, 5, ""},
      {"size: b", TStatKind::NoSize, -1, ""},
      {"size: b\nsize: 3b", TStatKind::NoSize, -1, ""},
      {"size: 99999999999999999999999b", TStatKind::NoSize, -1, ""},
      {"Directory", TStatKind::NoSize, 0, ""},
      {"Storage, 100KiB total, 50KiB free", TStatKind::NoSize, 0, ""},
      {"", TStatKind::NoSize, 0, ""},
      {" Storage error: file/dir not exist \nFile, size: 5b", TStatKind::Error, 0,
       "Storage error: file/dir not exist"},
      {"error-ish size: 5", TStatKind::Error, 0, "error-ish size: 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Body);
    int64_t size = 42;
    std::string errorLine;
    EXPECT_EQ(flipper::ParseStatAnswer(c.Body, size, errorLine), c.Kind);
    if (c.Kind != TStatKind::Error) {
      EXPECT_EQ(size, c.Size);
    }
    EXPECT_EQ(errorLine, c.ErrorLine);
  }
}

TEST(FlipperPaths, BlankPathsAreQuotedAndUntypeablePathsRefused) {
  EXPECT_EQ(flipper::QuotePath("/ext/My Garage.sub"), "\"/ext/My Garage.sub\"");
  EXPECT_EQ(flipper::QuotePath("/ext/plain.sub"), "/ext/plain.sub");
  EXPECT_EQ(flipper::QuotePath("/ext/ lead"), "\"/ext/ lead\"");

  for (const char* good : {"/ext/My Garage.sub", "/int/a-b_c.(1)~!#$%&'+,;=@[]^`{}", "/"}) {
    EXPECT_EQ(flipper::PathProblem(good), "") << good;
  }
  struct {
    std::string Path;
    const char* Says;
  } bad[] = {
      {"/ext/a\"b", "double quote"},
      {"/ext/a\rstorage remove /ext/keep", "control character (byte 13)"},
      {"/ext/a\tb", "control character (byte 9)"},
      {"/ext/a\x7f", "control character (byte 127)"},
      // A name listed from the card in code page 850 comes back as UTF-8: refused, saying why.
      {"/ext/\xC3\x9C"
       "berweisung.sub",
       "Cannot use \"/ext/\xC3\x9C"
       "berweisung.sub\" on the Flipper: its command line cannot "
       "take characters outside ASCII (\"\xC3\x9C\"), it drops them or takes them for cursor keys"},
      {"/ext/\x80", "characters outside ASCII (\"\xEF\xBF\xBD\")"},
      {std::string("/ext/a\0b", 8), "control character (byte 0)"},
  };
  for (const auto& b : bad) {
    EXPECT_NE(flipper::PathProblem(b.Path).find(b.Says), std::string::npos) << b.Path;
  }
}

TEST(FlipperStorageError, OneTestForEveryAnswer) {
  struct {
    const char* Text;
    bool Found;
    const char* Line;
  } cases[] = {
      {"Storage error: file/dir not exist", true, "Storage error: file/dir not exist"},
      {"echo\n  storage ERROR: internal error \r\nmore", true, "storage ERROR: internal error"},
      {"Ready", false, ""},
      {"File, size: 12b", false, ""},
      {"errors.txt is no storage-error", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    std::string line;
    EXPECT_EQ(flipper::FindStorageError(c.Text, line), c.Found) << c.Text;
    if (c.Found) {
      EXPECT_EQ(line, c.Line);
    }
  }
  EXPECT_TRUE(flipper::SaysNotExist("Storage error: file/dir not exist"));
  EXPECT_FALSE(flipper::SaysNotExist("Storage error: invalid name/path"));
  EXPECT_FALSE(flipper::SaysNotExist("Storage error: internal error"));
  EXPECT_TRUE(flipper::SaysDirectory("Directory"));
  EXPECT_FALSE(flipper::SaysDirectory("Directory listing.txt"));
}

TEST(FlipperSizeLine, TheCountReadChunksAnnounces) {
  struct {
    const char* Line;
    int64_t Size;
  } cases[] = {{"Size: 1234", 1234},     {"Size: 0\r", 0}, {"Size: 4294967296", 4294967296},
               {"Storage error: x", -1}, {"Size:", -1},    {"Size: 12b", -1},
               {"size: 12", -1},         {"", -1},         {"Size: 99999999999999999999", -1}};
  for (const auto& c : cases) EXPECT_EQ(flipper::ParseSizeLine(c.Line), c.Size) << c.Line;
}

TEST(FlipperDeviceInfo, TheLinesThatSayWhichFlipperAndFirmware) {
  // As the firmware prints it ("%-30s: %s"), with keys the description leaves out.
  const std::string body =
      "device_info_major             : 2\n"
      "hardware_model                : Flipper Zero\n"
      "hardware_udid                 : 2F0B3A1C5D4E6F70\n"
      "hardware_name                 : Tester\n"
      "firmware_commit               : d3v51m00\n"
      "firmware_version              : 1.3.4\n"
      "firmware_build_date: 01-07-2025\n"
      "hardware_ver                  :\n"
      "radio_alive                   : true";
  EXPECT_EQ(
      flipper::DescribeDeviceInfo(body),
      (std::vector<std::string>{"Name: Tester", "Model: Flipper Zero", "Firmware version: 1.3.4",
                                "Firmware commit: d3v51m00", "Firmware built: 01-07-2025"}));
  EXPECT_TRUE(flipper::DescribeDeviceInfo("could not find command `device_info`").empty());
  EXPECT_TRUE(flipper::DescribeDeviceInfo("").empty());
}

TEST(FlipperDeviceInfo, TheCardsSpaceFromStorageInfo) {
  struct {
    const char* Body;
    bool Ok;
    uint64_t Total;
    uint64_t Free;
  } cases[] = {
      {"Label: FLIPPER SD\nType: FAT32\n31154688KiB total\n30981120KiB free\n1BSM SD32G v1.0", true,
       31154688, 30981120},
      {"Label: x\nType: Virtual\n  976KiB total\n 120KiB free", true, 976, 120},
      {"Storage error: filesystem not ready", false, 0, 0},
      {"31154688KiB total", false, 0, 0},
      {"abcKiB total\n12KiB free", false, 0, 0},
      {"1234567890123456KiB total\n1KiB free", false, 0, 0},
  };
  for (const auto& c : cases) {
    uint64_t total = 0;
    uint64_t free = 0;
    EXPECT_EQ(flipper::ParseStorageSpace(c.Body, total, free), c.Ok) << c.Body;
    if (c.Ok) {
      EXPECT_EQ(total, c.Total) << c.Body;
      EXPECT_EQ(free, c.Free) << c.Body;
    }
  }
  struct {
    uint64_t Kib;
    const char* Text;
  } sizes[] = {{0, "0 KiB"},          {1023, "1023 KiB"},      {1024, "1.0 MiB"},
               {1536, "1.5 MiB"},     {1048575, "1024.0 MiB"}, {1048576, "1.0 GiB"},
               {31154688, "29.7 GiB"}};
  for (const auto& c : sizes) EXPECT_EQ(flipper::KibText(c.Kib), c.Text) << c.Kib;
}

}  // namespace
