// The PortaPack simulator on its pseudo-terminal, driven the way Mayhem's host tools drive a
// real PortaPack: CR-ended command lines, fopen / fseek 0 / frb / fwb / fclose transfers.
#include <gtest/gtest.h>

#include <memory>

#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

class PortapackSim : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path().empty());
    Sim = std::make_unique<TDevSim>("portapack", Dir.Path(), std::vector<std::string>{});
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
    ASSERT_TRUE(Tty.ReadUntil("ch> ", Banner));
  }

  std::string Card(const std::string& Name) const { return Dir.Path() + "/" + Name; }

  // One command line ended by CR; the answer up to and including the next prompt.
  std::string Command(const std::string& Line) {
    EXPECT_TRUE(Tty.Write(Line + "\r"));
    std::string Answer;
    EXPECT_TRUE(Tty.ReadUntil("ch> ", Answer)) << Line << " got: " << Answer;
    return Answer;
  }

  // Upload as the Mayhem Hub does: fclose, fopen, fseek 0, fwb blocks, fclose.
  void Upload(const std::string& Path, const std::string& Data) {
    Command("fclose");
    ASSERT_EQ(Command("fopen " + Path), "fopen " + Path + "\r\nok\r\nch> ");
    ASSERT_EQ(Command("fseek 0"), "fseek 0\r\nok\r\nch> ");
    for (size_t Done = 0; Done < Data.size();) {
      size_t N = std::min<size_t>(32768, Data.size() - Done);
      std::string Head = "fwb " + std::to_string(N);
      ASSERT_TRUE(Tty.Write(Head + "\r"));
      std::string Prompt;
      ASSERT_TRUE(Tty.ReadUntil(" bytes\r\n", Prompt));
      ASSERT_EQ(Prompt, Head + "\r\nsend " + std::to_string(N) + " bytes\r\n");
      ASSERT_TRUE(Tty.Write(std::string_view(Data).substr(Done, N)));
      std::string Ack;
      ASSERT_TRUE(Tty.ReadUntil("ch> ", Ack));
      ASSERT_EQ(Ack, "ok\r\nch> ");
      Done += N;
    }
    ASSERT_EQ(Command("fclose"), "fclose\r\nok\r\nch> ");
  }

  // Download as a host tool does with the binary read: filesize, fopen, fseek 0, frb blocks.
  void Download(const std::string& Path, std::string& Data) {
    Data.clear();
    std::string Size = Command("filesize " + Path);
    size_t Total = std::stoul(Size.substr(Size.find("\r\n") + 2));
    ASSERT_EQ(Command("fopen " + Path), "fopen " + Path + "\r\nok\r\nch> ");
    ASSERT_EQ(Command("fseek 0"), "fseek 0\r\nok\r\nch> ");
    while (Data.size() < Total) {
      size_t N = std::min<size_t>(32768, Total - Data.size());
      ASSERT_TRUE(Tty.Write("frb " + std::to_string(N) + "\r"));
      std::string Echo;
      ASSERT_TRUE(Tty.ReadUntil("\r\n", Echo));
      ASSERT_EQ(Echo, "frb " + std::to_string(N) + "\r\n");
      std::string Block;
      ASSERT_TRUE(Tty.ReadExact(N, Block));
      Data += Block;
      std::string Tail;
      ASSERT_TRUE(Tty.ReadUntil("ch> ", Tail));
      ASSERT_EQ(Tail, "\r\nok\r\nch> ");
    }
    ASSERT_EQ(Command("fclose"), "fclose\r\nok\r\nch> ");
  }

  TScratchDir Dir;
  std::unique_ptr<TDevSim> Sim;
  TRawTty Tty;
  std::string Banner;
};

TEST_F(PortapackSim, BannerOnlyAtFirstOpenAndEchoedPrompt) {
  EXPECT_EQ(Banner, "\r\nChibiOS/RT Shell\r\nch> ");
  Tty.Close();
  ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
  // A later open prints nothing; a bare CR gets a fresh prompt.
  EXPECT_EQ(Tty.ReadQuiet(300), "");
  EXPECT_EQ(Command(""), "\r\nch> ");
  // CR LF: the LF is dropped at the prompt and the next command is answered cleanly.
  ASSERT_TRUE(Tty.Write("help\r\n"));
  std::string Help;
  ASSERT_TRUE(Tty.ReadUntil("ch> ", Help));
  EXPECT_EQ(Help.rfind("help\r\nCommands: help exit info systime ", 0), 0u) << Help;
  EXPECT_EQ(Command("nosuch"), "nosuch\r\nnosuch ?\r\nch> ");
  // Backspace erases with "\b \b"; ^C is ignored.
  EXPECT_EQ(Command(std::string("lsx\b\x03 /")), "lsx\b \b /\r\nch> ");
}

TEST_F(PortapackSim, ByteExactRoundTripsFromZeroToOneMebibyte) {
  for (size_t Size : {0, 1, 511, 512, 513, 8192, 8193, 32768, 32769, 70000, 1 << 20}) {
    SCOPED_TRACE(Size);
    std::string Data = TestPattern(Size, static_cast<uint32_t>(Size) + 7);
    std::string Name = "up" + std::to_string(Size) + ".bin";
    Upload("/" + Name, Data);
    std::string Stored;
    ASSERT_TRUE(ReadLocalFile(Card(Name), Stored));
    ASSERT_EQ(Stored.size(), Data.size());
    ASSERT_TRUE(Stored == Data);

    std::string Source = "down" + std::to_string(Size) + ".bin";
    ASSERT_TRUE(WriteLocalFile(Card(Source), Data));
    std::string Fetched;
    Download(Source, Fetched);
    ASSERT_EQ(Fetched.size(), Data.size());
    ASSERT_TRUE(Fetched == Data);
  }
}

TEST_F(PortapackSim, LineLimitArgumentCountAndBlanksInPaths) {
  ASSERT_TRUE(WriteLocalFile(Card("my file.txt"), "12345"));
  // Words after the command are joined with single blanks into the path.
  EXPECT_EQ(Command("filesize my   file.txt"), "filesize my   file.txt\r\n5\r\nok\r\nch> ");
  // 63 characters at most: the rest is neither echoed nor used.
  std::string Long = "filesize /" + std::string(60, 'a');
  std::string Answer = Command(Long);
  EXPECT_EQ(Answer.substr(0, 65), Long.substr(0, 63) + "\r\n");
  EXPECT_NE(Answer.find("Error calling delete_file: 4 no file\r\n"), std::string::npos);
  EXPECT_EQ(Command("ls a b c d e f g"), "ls a b c d e f g\r\ntoo many arguments\r\nch> ");
}

TEST_F(PortapackSim, ListingSizesAndErrorTexts) {
  ASSERT_TRUE(WriteLocalFile(Card("a.txt"), "abc"));
  ASSERT_EQ(Command("mkdir /APPS"), "mkdir /APPS\r\nok\r\nch> ");
  ASSERT_TRUE(WriteLocalFile(Card("APPS/x.bin"), "x"));
  std::string Listing = Command("ls /");
  EXPECT_NE(Listing.find("\r\nAPPS/\r\n"), std::string::npos) << Listing;
  EXPECT_NE(Listing.find("\r\na.txt\r\n"), std::string::npos) << Listing;
  // ls never fails: a missing folder or a file lists as empty.
  EXPECT_EQ(Command("ls /missing"), "ls /missing\r\nch> ");
  EXPECT_EQ(Command("ls"), "ls\r\nusage: ls /\r\nch> ");
  EXPECT_EQ(Command("filesize /APPS"), "filesize /APPS\r\n0\r\nok\r\nch> ");
  EXPECT_EQ(Command("filesize /"),
            "filesize /\r\nError calling delete_file: 6 invalid name\r\nch> ");
  EXPECT_EQ(Command("filesize /no/such"),
            "filesize /no/such\r\nError calling delete_file: 5 no path\r\nch> ");
  EXPECT_EQ(Command("mkdir /APPS"), "mkdir /APPS\r\ndirectory already exists.\r\nch> ");
  EXPECT_EQ(Command("mkdir /a.txt"), "mkdir /a.txt\r\nError calling delete_file: 8 exists\r\nch> ");
  EXPECT_EQ(Command("unlink /APPS"), "unlink /APPS\r\nError calling delete_file: 7 denied\r\nch> ");
  EXPECT_EQ(Command("unlink /APPS/x.bin"), "unlink /APPS/x.bin\r\nok\r\nch> ");
  EXPECT_EQ(Command("unlink /APPS"), "unlink /APPS\r\nok\r\nch> ");
  EXPECT_EQ(Command("unlink /APPS"),
            "unlink /APPS\r\nError calling delete_file: 4 no file\r\nch> ");
  ASSERT_TRUE(WriteLocalFile(Card("check.txt"), "123456789"));
  EXPECT_EQ(Command("crc32 /check.txt"), "crc32 /check.txt\r\nCRC32: 0xFC891918\r\nch> ");
}

TEST_F(PortapackSim, PathsCannotLeaveTheCard) {
  TScratchDir Outside;
  ASSERT_TRUE(WriteLocalFile(Outside.Path() + "/secret", "s"));
  std::string Relative = "../" + Outside.Path().substr(Outside.Path().rfind('/') + 1) + "/secret";
  EXPECT_EQ(Command("filesize " + Relative),
            "filesize " + Relative + "\r\nError calling delete_file: 6 invalid name\r\nch> ");
  EXPECT_EQ(Command("unlink /.."),
            "unlink /..\r\nError calling delete_file: 6 invalid name\r\nch> ");
  EXPECT_EQ(Command("ls /../.."), "ls /../..\r\nch> ");
}

TEST_F(PortapackSim, OpenFileSlotPositionShortReadAndWedgedSlot) {
  ASSERT_TRUE(WriteLocalFile(Card("a.txt"), "abc"));
  // fopen starts at the end of the file: fwb without fseek appends.
  EXPECT_EQ(Command("fopen a.txt"), "fopen a.txt\r\nok\r\nch> ");
  EXPECT_EQ(Command("fopen a.txt"), "fopen a.txt\r\nfile already open\r\nch> ");
  ASSERT_TRUE(Tty.Write("fwb 2\r"));
  std::string Prompt;
  ASSERT_TRUE(Tty.ReadUntil(" bytes\r\n", Prompt));
  ASSERT_TRUE(Tty.Write("de"));
  ASSERT_TRUE(Tty.ReadUntil("ch> ", Prompt));
  EXPECT_EQ(Command("ftell"), "ftell\r\n5\r\nok\r\nch> ");
  // A short read ends without "ok": the prompt follows the data.
  EXPECT_EQ(Command("fseek 1"), "fseek 1\r\nok\r\nch> ");
  EXPECT_EQ(Command("frb 10"), "frb 10\r\nbcdech> ");
  EXPECT_EQ(Command("fseek 2"), "fseek 2\r\nok\r\nch> ");
  EXPECT_EQ(Command("ftruncate"), "ftruncate\r\nok\r\nch> ");
  EXPECT_EQ(Command("fclose"), "fclose\r\nok\r\nch> ");
  EXPECT_EQ(Command("fclose"), "fclose\r\nno open file\r\nch> ");
  std::string Stored;
  ASSERT_TRUE(ReadLocalFile(Card("a.txt"), Stored));
  EXPECT_EQ(Stored, "ab");
  // fopen creates a missing file.
  EXPECT_EQ(Command("fopen new.txt"), "fopen new.txt\r\nok\r\nch> ");
  EXPECT_EQ(Command("fclose"), "fclose\r\nok\r\nch> ");
  EXPECT_TRUE(ReadLocalFile(Card("new.txt"), Stored));
  // A failed fopen wedges the slot until reboot, as on the device.
  ASSERT_EQ(Command("mkdir /d"), "mkdir /d\r\nok\r\nch> ");
  EXPECT_EQ(Command("fopen /d"), "fopen /d\r\nError calling delete_file: 7 denied\r\nch> ");
  EXPECT_EQ(Command("fopen a.txt"), "fopen a.txt\r\nfile already open\r\nch> ");
  EXPECT_EQ(Command("fclose"), "fclose\r\nError calling delete_file: 9 invalid object\r\nch> ");
  EXPECT_EQ(Command("fopen /x/y"), "fopen /x/y\r\nfile already open\r\nch> ");
}

TEST_F(PortapackSim, LfAfterCrIsDataForFwbAndNegativeSeekIsRefused) {
  EXPECT_EQ(Command("fopen lf.bin"), "fopen lf.bin\r\nok\r\nch> ");
  // A CR LF ended fwb: the LF is the first payload byte.
  ASSERT_TRUE(Tty.Write("fwb 3\r\n"));
  std::string Prompt;
  ASSERT_TRUE(Tty.ReadUntil(" bytes\r\n", Prompt));
  ASSERT_TRUE(Tty.Write("ab"));
  ASSERT_TRUE(Tty.ReadUntil("ch> ", Prompt));
  EXPECT_EQ(Prompt, "ok\r\nch> ");
  // The device would grow the file towards 4 GiB on a negative offset; the simulator refuses.
  EXPECT_EQ(Command("fseek -5"),
            "fseek -5\r\nError calling delete_file: 19 invalid parameter\r\nch> ");
  // Seeking past the end extends the file.
  EXPECT_EQ(Command("fseek 6"), "fseek 6\r\nok\r\nch> ");
  EXPECT_EQ(Command("fclose"), "fclose\r\nok\r\nch> ");
  std::string Stored;
  ASSERT_TRUE(ReadLocalFile(Card("lf.bin"), Stored));
  EXPECT_EQ(Stored, std::string("\nab\0\0\0", 6));
}

TEST_F(PortapackSim, CtrlDEndsTheShellForGood) {
  ASSERT_TRUE(Tty.Write("\x04"));
  std::string Out;
  ASSERT_TRUE(Tty.ReadUntil("logout", Out));
  EXPECT_EQ(Out, "^D\r\nlogout");
  ASSERT_TRUE(Tty.Write("ls /\r"));
  EXPECT_EQ(Tty.ReadQuiet(300), "");
  EXPECT_TRUE(Sim->Stop());
}

}  // namespace
