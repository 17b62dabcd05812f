// The simulator's fault switches and its transcript: each switch does what it says, and the
// transcript holds both directions byte for byte.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <memory>

#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

struct TSession {
  TScratchDir Dir;
  std::unique_ptr<TDevSim> Sim;
  TRawTty Tty;

  // Starts a simulator with Extra options and opens its port; Prompt is read when not empty.
  void Start(const std::string& Kind, const std::vector<std::string>& Extra,
             const std::string& Prompt) {
    ASSERT_FALSE(Dir.Path().empty());
    Sim = std::make_unique<TDevSim>(Kind, Dir.Path(), Extra);
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    ASSERT_TRUE(Tty.Open(Sim->SlavePath()));
    std::string Greeting;
    if (!Prompt.empty()) {
      ASSERT_TRUE(Tty.ReadUntil(Prompt, Greeting));
    }
  }
  std::string Ask(const std::string& Line, const std::string& Prompt) {
    EXPECT_TRUE(Tty.Write(Line + "\r"));
    std::string Answer;
    EXPECT_TRUE(Tty.ReadUntil(Prompt, Answer)) << Line << " got: " << Answer;
    return Answer;
  }
};

TEST(DevSimFaults, SilentDeviceReadsButNeverAnswers) {
  TSession S;
  S.Start("portapack", {"--silent"}, "");
  ASSERT_TRUE(S.Tty.Write("\r\nls /\r\n"));
  EXPECT_EQ(S.Tty.ReadQuiet(500), "");
  S.Tty.Close();
  ASSERT_TRUE(S.Tty.Open(S.Sim->SlavePath()));
  EXPECT_EQ(S.Tty.ReadQuiet(300), "");
  EXPECT_TRUE(S.Sim->Stop());
}

TEST(DevSimFaults, StallAfterFreezesMidTransfer) {
  TSession S;
  S.Start("portapack", {"--stall-after", "1000"}, "ch> ");
  ASSERT_TRUE(WriteLocalFile(S.Dir.Path() + "/f.bin", TestPattern(5000)));
  S.Ask("fopen f.bin", "ch> ");
  S.Ask("fseek 0", "ch> ");
  ASSERT_TRUE(S.Tty.Write("frb 5000\r"));
  std::string Echo;
  ASSERT_TRUE(S.Tty.ReadUntil("\r\n", Echo));
  std::string Got = S.Tty.ReadQuiet(500);
  EXPECT_EQ(Got, TestPattern(5000).substr(0, 1000));
  // Frozen: nothing answers any more, but the line stays up.
  ASSERT_TRUE(S.Tty.Write("\r"));
  EXPECT_EQ(S.Tty.ReadQuiet(300), "");
  EXPECT_TRUE(S.Sim->Stop());
}

TEST(DevSimFaults, StallAfterCountsUploadPayloadToo) {
  TSession S;
  S.Start("flipper", {"--stall-after", "100"}, "\r\n>: ");
  ASSERT_TRUE(S.Tty.Write("storage write_chunk /ext/u.bin 300\r"));
  std::string Out;
  ASSERT_TRUE(S.Tty.ReadUntil("Ready\r\n", Out));
  ASSERT_TRUE(S.Tty.Write(std::string(300, 'u')));
  EXPECT_EQ(S.Tty.ReadQuiet(500), "");
  std::string Stored;
  ASSERT_TRUE(ReadLocalFile(S.Dir.Path() + "/ext/u.bin", Stored));
  EXPECT_EQ(Stored, std::string(100, 'u'));
}

TEST(DevSimFaults, DropAfterClosesTheLineAndEnds) {
  TSession S;
  S.Start("flipper", {"--drop-after", "700"}, "\r\n>: ");
  ASSERT_TRUE(WriteLocalFile(S.Dir.Path() + "/ext/f.bin", TestPattern(2000)));
  ASSERT_TRUE(S.Tty.Write("storage read_chunks /ext/f.bin 512\r"));
  std::string Out;
  ASSERT_TRUE(S.Tty.ReadUntil("Ready?\r\n", Out));
  ASSERT_TRUE(S.Tty.Write("y"));
  std::string First;
  ASSERT_TRUE(S.Tty.ReadExact(512, First));
  ASSERT_TRUE(S.Tty.ReadUntil("Ready?\r\n", Out));
  ASSERT_TRUE(S.Tty.Write("y"));
  std::string Rest;
  EXPECT_TRUE(S.Tty.WaitHangUp(5000, &Rest));
  EXPECT_EQ(First + Rest, TestPattern(2000).substr(0, 700));
  int Status = 0;
  ASSERT_TRUE(S.Sim->WaitExit(5000, &Status));
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
}

TEST(DevSimFaults, ErrorSwitchUsesEachDevicesOwnErrorForm) {
  {
    TSession S;
    S.Start("portapack", {"--error", "fopen", "--error", "filesize:4"}, "ch> ");
    EXPECT_EQ(S.Ask("filesize /x", "ch> "),
              "filesize /x\r\nError calling delete_file: 4 no file\r\nch> ");
    EXPECT_EQ(S.Ask("fopen /x", "ch> "),
              "fopen /x\r\nError calling delete_file: 1 disk error\r\nch> ");
    // The device's own consequence follows: the slot is wedged.
    EXPECT_EQ(S.Ask("fopen /x", "ch> "), "fopen /x\r\nfile already open\r\nch> ");
  }
  {
    TSession S;
    S.Start("flipper", {"--error", "storage read_chunks:5", "--error", "list"}, "\r\n>: ");
    EXPECT_EQ(S.Ask("storage read_chunks /ext/x 512", "\r\n>: "),
              "storage read_chunks /ext/x 512\r\nStorage error: access denied\r\n\r\n>: ");
    EXPECT_EQ(S.Ask("storage list /ext", "\r\n>: "),
              "storage list /ext\r\nStorage error: internal error\r\n\r\n>: ");
    EXPECT_EQ(S.Ask("storage stat /ext/nope", "\r\n>: "),
              "storage stat /ext/nope\r\nStorage error: file/dir not exist\r\n\r\n>: ");
  }
}

TEST(DevSimFaults, NoiseComesBeforeAnswersAndLeavesPayloadIntact) {
  TSession S;
  S.Start("portapack", {"--noise"}, "ch> ");
  std::string Data = TestPattern(3000);
  ASSERT_TRUE(WriteLocalFile(S.Dir.Path() + "/n.bin", Data));
  std::string Answer = S.Ask("fopen n.bin", "ch> ");
  // Stray bytes, then the echo.
  ASSERT_GT(Answer.size(), std::string("fopen n.bin\r\nok\r\nch> ").size());
  EXPECT_NE(Answer.rfind("fopen n.bin\r\nok\r\nch> "), 0u);
  EXPECT_EQ(Answer.find('\r'), Answer.find("fopen n.bin\r\n") + 11);
  S.Ask("fseek 0", "ch> ");
  ASSERT_TRUE(S.Tty.Write("frb 3000\r"));
  std::string Echo;
  ASSERT_TRUE(S.Tty.ReadUntil("\r\n", Echo));
  EXPECT_NE(Echo.find("frb 3000\r\n"), std::string::npos);
  std::string Block;
  ASSERT_TRUE(S.Tty.ReadExact(3000, Block));
  EXPECT_TRUE(Block == Data);
}

TEST(DevSimFaults, RateAndLatencyStillDeliverEveryByte) {
  TSession S;
  S.Start("flipper", {"--rate", "50000", "--latency-ms", "20"}, "\r\n>: ");
  std::string Data = TestPattern(20000);
  ASSERT_TRUE(WriteLocalFile(S.Dir.Path() + "/ext/r.bin", Data));
  ASSERT_TRUE(S.Tty.Write("storage read_chunks /ext/r.bin 20000\r"));
  std::string Out;
  ASSERT_TRUE(S.Tty.ReadUntil("Ready?\r\n", Out));
  ASSERT_TRUE(S.Tty.Write("y"));
  std::string Block;
  ASSERT_TRUE(S.Tty.ReadExact(20000, Block));
  EXPECT_TRUE(Block == Data);
}

TEST(DevSimFaults, TranscriptRecordsBothDirections) {
  TSession S;
  TScratchDir Logs;
  std::string Path = Logs.Path() + "/t.txt";
  S.Start("flipper", {"--transcript", Path}, "\r\n>: ");
  ASSERT_TRUE(WriteLocalFile(S.Dir.Path() + "/ext/b.bin", std::string("\r\n\x00\xff\\", 5)));
  ASSERT_TRUE(S.Tty.Write("storage read_chunks /ext/b.bin 5\r"));
  std::string Out;
  ASSERT_TRUE(S.Tty.ReadUntil("Ready?\r\n", Out));
  ASSERT_TRUE(S.Tty.Write("\x03"));
  ASSERT_TRUE(S.Tty.ReadUntil("\r\n\r\n>: ", Out));
  // Close, and reopen so that the close has been seen before the simulator stops.
  S.Tty.Close();
  ASSERT_TRUE(S.Tty.Open(S.Sim->SlavePath()));
  ASSERT_TRUE(S.Tty.ReadUntil("\r\n>: ", Out));
  S.Tty.Close();
  ASSERT_TRUE(S.Sim->Stop());
  TTranscriptData Data;
  ASSERT_TRUE(ReadTranscript(Path, Data));
  EXPECT_EQ(Data.FromHost, "storage read_chunks /ext/b.bin 5\r\x03");
  std::string Expected = "storage read_chunks /ext/b.bin 5\r\nSize: 5\r\n\r\nReady?\r\n" +
                         std::string("\r\n\x00\xff\\", 5) + "\r\n\r\n>: ";
  EXPECT_NE(Data.ToHost.find(Expected), std::string::npos);
  ASSERT_GE(Data.Notes.size(), 2u);
  EXPECT_EQ(Data.Notes[0], "port opened");
  EXPECT_EQ(Data.Notes[1], "port closed");
}

}  // namespace
