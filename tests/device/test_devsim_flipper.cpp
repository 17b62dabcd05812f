// The Flipper simulator on its pseudo-terminal, driven the way the vendor's storage.py drives a
// real Flipper: CR-ended commands, quoted paths, read_chunks answered one byte per chunk,
// write_chunk after a remove.
#include <gtest/gtest.h>

#include <memory>

#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

constexpr const char* kPrompt = "\r\n>: ";

class FlipperSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    Sim = std::make_unique<TDevSim>("flipper", Dir.Path(), std::vector<std::string>{});
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
    ASSERT_TRUE(Tty.ReadUntil(kPrompt, Greeting));
  }

  std::string Ext(const std::string& Name) const { return Dir.Path() + "/ext/" + Name; }

  // A command ended by CR; returns the output between the echo line and the prompt.
  std::string Command(const std::string& Line) {
    EXPECT_TRUE(Tty.Write(Line + "\r"));
    std::string Answer;
    EXPECT_TRUE(Tty.ReadUntil(kPrompt, Answer)) << Line << " got: " << Answer;
    std::string Echo = Line + "\r\n";
    EXPECT_EQ(Answer.substr(0, Echo.size()), Echo);
    return Answer.substr(Echo.size(), Answer.size() - Echo.size() - 5);
  }

  // storage.py send_file: remove an existing file, then write_chunk per 8192 bytes.
  void Upload(const std::string& Path, const std::string& Data) {
    if (Command("storage stat \"" + Path + "\"").find("File, size:") != std::string::npos) {
      ASSERT_EQ(Command("storage remove \"" + Path + "\""), "");
    }
    size_t Done = 0;
    do {
      size_t N = std::min<size_t>(8192, Data.size() - Done);
      std::string Line = "storage write_chunk \"" + Path + "\" " + std::to_string(N);
      ASSERT_TRUE(Tty.Write(Line + "\r"));
      std::string Echo, Signal;
      ASSERT_TRUE(Tty.ReadLine(Echo));
      ASSERT_EQ(Echo, Line);
      ASSERT_TRUE(Tty.ReadLine(Signal));
      ASSERT_EQ(Signal, "Ready");
      ASSERT_TRUE(Tty.Write(std::string_view(Data).substr(Done, N)));
      std::string Tail;
      ASSERT_TRUE(Tty.ReadUntil(kPrompt, Tail));
      ASSERT_EQ(Tail, kPrompt);
      Done += N;
    } while (Done < Data.size());
  }

  // storage.py read_file: read_chunks with 8192, one "y" per "Ready?".
  void Download(const std::string& Path, std::string& Data) {
    Data.clear();
    std::string Line = "storage read_chunks \"" + Path + "\" 8192";
    ASSERT_TRUE(Tty.Write(Line + "\r"));
    std::string Echo, SizeLine;
    ASSERT_TRUE(Tty.ReadLine(Echo));
    ASSERT_EQ(Echo, Line);
    ASSERT_TRUE(Tty.ReadLine(SizeLine));
    ASSERT_EQ(SizeLine.rfind("Size: ", 0), 0u) << SizeLine;
    size_t Size = std::stoul(SizeLine.substr(6));
    while (Data.size() < Size) {
      std::string Ready;
      ASSERT_TRUE(Tty.ReadUntil("Ready?\r\n", Ready));
      ASSERT_TRUE(Tty.Write("y"));
      std::string Chunk;
      ASSERT_TRUE(Tty.ReadExact(std::min<size_t>(8192, Size - Data.size()), Chunk));
      Data += Chunk;
    }
    std::string Tail;
    ASSERT_TRUE(Tty.ReadUntil(">: ", Tail));
    ASSERT_EQ(Tail, std::string("\r\n") + kPrompt);
  }

  TScratchDir Dir;
  std::unique_ptr<TDevSim> Sim;
  TRawTty Tty;
  std::string Greeting;
};

TEST_F(FlipperSim, FreshColouredGreetingOnEveryOpen) {
  EXPECT_EQ(Greeting.rfind("\r\n\x1b[38;2;255;130;0m", 0), 0u);
  EXPECT_NE(Greeting.find("Welcome to Flipper Zero Command Line Interface!\r\n"),
            std::string::npos);
  EXPECT_NE(Greeting.find("\r\nFirmware version: "), std::string::npos);
  // The prompt is the first ">:" in the greeting.
  EXPECT_EQ(Greeting.find(">:"), Greeting.size() - 3);
  // A half-typed line does not survive a close; the next open greets again.
  ASSERT_TRUE(Tty.Write("storage li"));
  std::string Echo;
  ASSERT_TRUE(Tty.ReadUntil("li", Echo));
  Tty.Close();
  ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
  std::string Again;
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  EXPECT_EQ(Again, Greeting);
  // Empty line, Ctrl+C, LF ignored, unknown command.
  ASSERT_TRUE(Tty.Write("\r"));
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  EXPECT_EQ(Again, kPrompt);
  ASSERT_TRUE(Tty.Write("abc\x03"));
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  EXPECT_EQ(Again, std::string("abc^C") + kPrompt);
  ASSERT_TRUE(Tty.Write("\nfoo\r"));
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  EXPECT_EQ(Again, std::string("foo\r\n\x1b[31mcould not find command `foo`, try `help`\x1b[0m") +
                       kPrompt);
}

TEST_F(FlipperSim, ByteExactRoundTripsFromZeroToOneMebibyte) {
  for (size_t Size : {0, 1, 511, 512, 513, 8192, 8193, 32768, 32769, 70000, 1 << 20}) {
    SCOPED_TRACE(Size);
    std::string Data = TestPattern(Size, static_cast<uint32_t>(Size) + 3);
    // A stale, longer file first: the remove before write_chunk must keep it out.
    ASSERT_TRUE(WriteLocalFile(Ext("up file.bin"), std::string(Size + 10, 'z')));
    Upload("/ext/up file.bin", Data);
    std::string Stored;
    ASSERT_TRUE(ReadLocalFile(Ext("up file.bin"), Stored));
    ASSERT_EQ(Stored.size(), Data.size());
    ASSERT_TRUE(Stored == Data);

    ASSERT_TRUE(WriteLocalFile(Ext("down file.bin"), Data));
    std::string Fetched;
    Download("/any/down file.bin", Fetched);
    ASSERT_EQ(Fetched.size(), Data.size());
    ASSERT_TRUE(Fetched == Data);
  }
}

TEST_F(FlipperSim, StorageAnswersInTheirExactForms) {
  ASSERT_EQ(Command("storage mkdir /ext/sub"), "");
  ASSERT_TRUE(WriteLocalFile(Ext("sub/a.txt"), "abc"));
  EXPECT_EQ(Command("storage list /ext/sub"), "\t[F] a.txt 3b\r\n");
  EXPECT_EQ(Command("storage list /int"), "\tEmpty\r\n");
  EXPECT_EQ(Command("storage list /"), "\t[D] int\r\n\t[D] ext\r\n\t[D] any\r\n");
  EXPECT_EQ(Command("storage list /ext/none"), "Storage error: file/dir not exist\r\n");
  EXPECT_EQ(Command("storage stat \"/ext/sub/a.txt\""), "File, size: 3b\r\n");
  EXPECT_EQ(Command("storage stat /ext/sub"), "Directory\r\n");
  EXPECT_EQ(Command("storage stat /"), "Storage\r\n");
  std::string Volume = Command("storage stat /ext");
  EXPECT_EQ(Volume.rfind("Storage, ", 0), 0u);
  EXPECT_NE(Volume.find("KiB total, "), std::string::npos);
  EXPECT_EQ(Command("storage md5 /ext/sub/a.txt"), "900150983cd24fb0d6963f7d28e17f72\r\n");
  EXPECT_EQ(Command("storage mkdir /ext/sub"), "Storage error: file/dir already exist\r\n");
  EXPECT_EQ(Command("storage remove /ext/sub"), "Storage error: access denied\r\n");
  EXPECT_EQ(Command("storage remove /ext/nothing"), "Storage error: file/dir not exist\r\n");
  // Unquoted, a blank ends the path: the rest becomes arguments.
  ASSERT_TRUE(WriteLocalFile(Ext("two words"), "x"));
  EXPECT_EQ(Command("storage stat /ext/two words"), "Storage error: file/dir not exist\r\n");
  EXPECT_EQ(Command("storage stat \"/ext/two words\""), "File, size: 1b\r\n");
  // rename overwrites a target file, refuses a missing source.
  EXPECT_EQ(Command("storage rename \"/ext/two words\" \"/ext/sub/a.txt\""), "");
  std::string Stored;
  ASSERT_TRUE(ReadLocalFile(Ext("sub/a.txt"), Stored));
  EXPECT_EQ(Stored, "x");
  EXPECT_EQ(Command("storage rename /ext/gone /ext/b"), "Storage error: invalid name/path\r\n");
  EXPECT_EQ(Command("storage rename /ext/sub /ext/sub/inner"),
            "Storage error: invalid name/path\r\n");
  std::string Info = Command("storage info /ext");
  EXPECT_EQ(Info.rfind("Label: ", 0), 0u);
  EXPECT_NE(Info.find("\r\nType: FAT32\r\n"), std::string::npos);
  EXPECT_EQ(Command("storage nonsense /ext").rfind("Usage:\r\nstorage <cmd> <path> <args>\r\n", 0),
            0u);
  EXPECT_NE(Command("storage read_chunks /ext/sub/a.txt x").find("\tread_chunks\t - "),
            std::string::npos);
  EXPECT_EQ(Command("storage stat /ext/../../etc"), "Storage error: invalid name/path\r\n");
  EXPECT_EQ(Command("storage stat /home"), "Storage error: invalid name/path\r\n");
}

TEST_F(FlipperSim, ClosingThePortEndsAReadChunksAndKeepsAPartialWrite) {
  std::string Data = TestPattern(100000);
  ASSERT_TRUE(WriteLocalFile(Ext("big.bin"), Data));
  ASSERT_TRUE(Tty.Write("storage read_chunks /ext/big.bin 512\r"));
  std::string Part;
  ASSERT_TRUE(Tty.ReadUntil("Ready?\r\n", Part));
  ASSERT_TRUE(Tty.Write("y"));
  ASSERT_TRUE(Tty.ReadExact(512, Part));
  Tty.Close();
  // A new session: fresh greeting, the rest of the transfer is gone. (A "Ready?" line already
  // in the kernel's queue when the port closed may still come first after an instant reopen.)
  ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
  std::string Again;
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  ASSERT_GE(Again.size(), Greeting.size());
  EXPECT_EQ(Again.substr(Again.size() - Greeting.size()), Greeting);
  EXPECT_LE(Again.size() - Greeting.size(), std::string("\r\nReady?\r\n").size());

  ASSERT_TRUE(Tty.Write("storage write_chunk /ext/part.bin 4096\r"));
  ASSERT_TRUE(Tty.ReadUntil("Ready\r\n", Part));
  ASSERT_TRUE(Tty.Write(Data.substr(0, 1500)));
  // The sim reads what arrived before the close; the next session starts after that is written.
  Tty.Close();
  ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Again));
  EXPECT_EQ(Command("storage stat /ext/part.bin"), "File, size: 1500b\r\n");
}

TEST_F(FlipperSim, CrLfLeavesTheLfAsPayload) {
  ASSERT_TRUE(Tty.Write("storage write_chunk /ext/lf.bin 3\r\n"));
  std::string Out;
  ASSERT_TRUE(Tty.ReadUntil("Ready\r\n", Out));
  ASSERT_TRUE(Tty.Write("ab"));
  ASSERT_TRUE(Tty.ReadUntil(kPrompt, Out));
  std::string Stored;
  ASSERT_TRUE(ReadLocalFile(Ext("lf.bin"), Stored));
  EXPECT_EQ(Stored, "\nab");
}

}  // namespace
