// TPortapackDevice against the simulated Mayhem shell: listings, sizes, byte-exact transfers,
// progress, aborts, renames, the device's faults, and the wire (the simulator's transcript)
// for every command line the shell must not see.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "devices/uPortapack.h"
#include "platform/Platform.h"
#include "support/DevSim.h"

namespace {

namespace fs = std::filesystem;

// Records progress calls; answers false at call number AbortAtCall (1-based) and runs OnCall
// at every call.
struct TProgressLog {
  std::vector<int64_t> Done;
  size_t AbortAtCall = 0;
  std::function<void()> OnCall;
  TTransferProgress Callback() {
    return [this](void*, int64_t DoneBytes, int64_t) {
      Done.push_back(DoneBytes);
      if (OnCall) OnCall();
      return Done.size() != AbortAtCall;
    };
  }
};

template <class F>
int64_t MsTaken(F Body) {
  auto start = std::chrono::steady_clock::now();
  Body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

class PortapackDevice : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> Extra = {}) {
    Extra.insert(Extra.end(), {"--transcript", Work.Path() + "/wire.txt"});
    Sim = std::make_unique<TDevSim>("portapack", Card.Path(), Extra);
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    Device = std::make_unique<TPortapackDevice>(Sim->PortName());
    ASSERT_TRUE(Device->Connect()) << Device->LastError;
  }
  // Everything the device has read from the plug-in so far.
  std::string Sent() {
    TTranscriptData data;
    EXPECT_TRUE(ReadTranscript(Work.Path() + "/wire.txt", data));
    return data.FromHost;
  }
  std::string OnCard(const std::string& Name) {
    std::string bytes;
    return ReadLocalFile(Card.Path() + "/" + Name, bytes) ? bytes : "<missing>";
  }
  std::string Local(const std::string& Name) const { return Work.Path() + "/" + Name; }

  TScratchDir Card;
  TScratchDir Work;
  std::unique_ptr<TDevSim> Sim;
  std::unique_ptr<TPortapackDevice> Device;
};

TEST_F(PortapackDevice, ConnectsAndExchangesCommands) {
  Start();
  EXPECT_EQ(Device->Title, "PortaPack on " + Sim->PortName());
  EXPECT_EQ(Device->Version, "PortaPack/Mayhem");
  EXPECT_EQ(Device->GetKind(), dkPortapack);
  std::string response;
  Device->SendCmd(response, "ls /", 5000);
  EXPECT_EQ(response.rfind("ls /\r\nch>", 0), 0u) << response;
  EXPECT_TRUE(Device->ExecCmd("mkdir /d", 3000));
  // After the wake-up line, a file an earlier session may have left open is closed.
  EXPECT_EQ(Sent(), "\r\nfclose\r\nls /\r\nmkdir /d\r\n");

  TPortapackDevice missing(Work.Path() + "/no-such-port");
  EXPECT_FALSE(missing.Connect());
  EXPECT_EQ(missing.LastError, "Cannot open " + Work.Path() + "/no-such-port");
}

TEST_F(PortapackDevice, ListsFoldersAndSizesFiles) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/my file.txt", "12345"));
  fs::create_directories(Card.Path() + "/APPS/sub");
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/APPS/x.bin", std::string(70000, 'x')));
  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("\\", entries));
  std::map<std::string, bool> listed;
  for (const auto& e : entries) listed[e.Name] = e.IsDir;
  EXPECT_EQ(listed, (std::map<std::string, bool>{{"APPS", true}, {"my file.txt", false}}));
  ASSERT_TRUE(Device->ListDir("APPS\\", entries));
  EXPECT_EQ(entries.size(), 2u);
  // The shell lists a missing folder like an empty one.
  EXPECT_TRUE(Device->ListDir("/none", entries));
  EXPECT_TRUE(entries.empty());

  struct {
    const char* Path;
    bool Ok;
    int64_t Size;
  } sizes[] = {{"\\my file.txt", true, 5},
               {"/APPS/x.bin", true, 70000},
               {"/APPS", true, 0},
               {"/nope", false, 0},
               {"/", false, 0}};
  for (const auto& c : sizes) {
    int64_t size = -1;
    EXPECT_EQ(Device->GetFileSize(c.Path, size), c.Ok) << c.Path;
    EXPECT_EQ(c.Ok ? size : 0, c.Size) << c.Path;
  }
  EXPECT_EQ(Device->LastError, "Error calling delete_file: 6 invalid name");
}

TEST_F(PortapackDevice, TransfersAreByteExactBothWays) {
  Start();
  for (size_t size : {0, 1, 511, 512, 32767, 32768, 32769, 70000, 2 << 20}) {
    SCOPED_TRACE(size);
    std::string data = TestPattern(size, static_cast<uint32_t>(size) + 3);
    ASSERT_TRUE(WriteLocalFile(Local("up"), data));
    ASSERT_TRUE(Device->PutFile(Local("up"), "/f.bin", nullptr, nullptr)) << Device->LastError;
    ASSERT_TRUE(OnCard("f.bin") == data);
    ASSERT_TRUE(Device->GetFile("/f.bin", Local("down"), nullptr, nullptr)) << Device->LastError;
    std::string fetched;
    ASSERT_TRUE(ReadLocalFile(Local("down"), fetched));
    ASSERT_TRUE(fetched == data);
  }
  // An upload replaces a longer file; the block command ends with CR alone, so the payload
  // follows it directly.
  ASSERT_TRUE(WriteLocalFile(Local("one"), "Z"));
  ASSERT_TRUE(Device->PutFile(Local("one"), "/f.bin", nullptr, nullptr));
  EXPECT_EQ(OnCard("f.bin"), "Z");
  EXPECT_NE(Sent().find("ftruncate\r\nfwb 1\rZfclose\r\n"), std::string::npos);
}

TEST_F(PortapackDevice, AnUploadAsksOnlyWhatItDoesNotKnowYet) {
  // Everything typed for one upload of "new". A fresh answer of the existence test is not asked
  // again; a file that is new or empty needs neither rewind nor truncation, since fopen puts the
  // position at its end; a folder sizes like an empty file, so an empty one is listed. The
  // device's checksum of the closed copy comes last.
  struct {
    const char* Name;
    const char* Target;
    std::function<void()> Before;  // the existence test and what follows it
    std::string Typed;
  } cases[] = {
      {"right after the existence test", "/n1.bin",
       [&] {
         int64_t size = 0;
         EXPECT_EQ(Device->ProbePath("/n1.bin", size), TPathState::Absent);
       },
       "fopen /n1.bin\r\nfwb 3\rnewfclose\r\ncrc32 /n1.bin\r\n"},
      {"another command after the test", "/n2.bin",
       [&] {
         int64_t size = 0;
         EXPECT_EQ(Device->ProbePath("/n2.bin", size), TPathState::Absent);
         EXPECT_TRUE(Device->MakeDir("/D"));
       },
       "filesize /n2.bin\r\nfopen /n2.bin\r\nfwb 3\rnewfclose\r\ncrc32 /n2.bin\r\n"},
      {"an empty file", "/e.bin", [&] { ASSERT_TRUE(WriteLocalFile(Card.Path() + "/e.bin", "")); },
       "filesize /e.bin\r\nls /\r\nfopen /e.bin\r\nfwb 3\rnewfclose\r\ncrc32 /e.bin\r\n"},
      {"a longer file", "/l.bin",
       [&] { ASSERT_TRUE(WriteLocalFile(Card.Path() + "/l.bin", "longer")); },
       "filesize /l.bin\r\nfopen /l.bin\r\nfseek 0\r\nftruncate\r\nfwb 3\rnewfclose\r\ncrc32 "
       "/l.bin\r\n"},
  };
  Start();
  ASSERT_TRUE(WriteLocalFile(Local("up"), "new"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Before();
    const size_t mark = Sent().size();
    ASSERT_TRUE(Device->PutFile(Local("up"), c.Target, nullptr, nullptr)) << Device->LastError;
    EXPECT_EQ(Sent().substr(mark), c.Typed);
    EXPECT_EQ(OnCard(c.Target + 1), "new");
  }
}

TEST_F(PortapackDevice, ReportsProgressPerBlock) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Local("up"), TestPattern(70000)));
  TProgressLog up;
  ASSERT_TRUE(Device->PutFile(Local("up"), "/p.bin", up.Callback(), nullptr));
  EXPECT_EQ(up.Done, (std::vector<int64_t>{0, 32768, 65536, 70000}));
  TProgressLog down;
  ASSERT_TRUE(Device->GetFile("/p.bin", Local("down"), down.Callback(), nullptr));
  EXPECT_EQ(down.Done, (std::vector<int64_t>{0, 32768, 65536, 70000}));
  std::string wire = Sent();
  EXPECT_NE(wire.find("frb 32768\r\nfrb 32768\r\nfrb 4464\r\nfclose\r\n"), std::string::npos);

  // Empty files: the upload still reports (0, 0); the download reports nothing and sends no frb.
  ASSERT_TRUE(WriteLocalFile(Local("empty"), ""));
  TProgressLog emptyUp;
  ASSERT_TRUE(Device->PutFile(Local("empty"), "/e.bin", emptyUp.Callback(), nullptr));
  EXPECT_EQ(emptyUp.Done, (std::vector<int64_t>{0}));
  size_t mark = Sent().size();
  TProgressLog emptyDown;
  ASSERT_TRUE(Device->GetFile("/e.bin", Local("e"), emptyDown.Callback(), nullptr));
  EXPECT_TRUE(emptyDown.Done.empty());
  // Size 0 is also what a folder answers: the listing of the parent tells them apart.
  EXPECT_EQ(Sent().substr(mark),
            "filesize /e.bin\r\nls /\r\nfopen /e.bin\r\nfseek 0\r\nfclose\r\ncrc32 /e.bin\r\n");
  EXPECT_TRUE(fs::exists(Local("e")));
}

TEST_F(PortapackDevice, AbortsCloseTheRemoteFileAndLeaveNoLocalFile) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/a.bin", TestPattern(70000)));
  ASSERT_TRUE(WriteLocalFile(Local("up"), TestPattern(70000)));
  for (size_t call : {1, 2}) {
    SCOPED_TRACE(call);
    TProgressLog down{{}, call, {}};
    EXPECT_FALSE(Device->GetFile("/a.bin", Local("down"), down.Callback(), nullptr));
    EXPECT_EQ(Device->LastError, "User abort");
    EXPECT_FALSE(fs::exists(Local("down")));
    EXPECT_TRUE(Sent().ends_with("fclose\r\n"));
    TProgressLog up{{}, call, {}};
    EXPECT_FALSE(Device->PutFile(Local("up"), "/u.bin", up.Callback(), nullptr));
    EXPECT_EQ(Device->LastError, "User abort");
    EXPECT_TRUE(Sent().ends_with("fclose\r\n"));
  }
  // The file slot was released each time.
  EXPECT_TRUE(Device->GetFile("/a.bin", Local("down"), nullptr, nullptr)) << Device->LastError;
}

TEST_F(PortapackDevice, DeletesMakesAndRemovesFolders) {
  Start();
  EXPECT_TRUE(Device->MakeDir("\\d"));
  EXPECT_TRUE(fs::is_directory(Card.Path() + "/d"));
  EXPECT_TRUE(Device->MakeDir("/d"));  // "directory already exists."
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/d/f", "x"));
  EXPECT_FALSE(Device->RemoveDir("/d"));
  EXPECT_EQ(Device->LastError, "Error calling delete_file: 7 denied");
  EXPECT_TRUE(Device->DeleteFile("d\\f"));
  EXPECT_FALSE(fs::exists(Card.Path() + "/d/f"));
  EXPECT_FALSE(Device->DeleteFile("/d/f"));
  EXPECT_EQ(Device->LastError, "Error calling delete_file: 4 no file");
  EXPECT_TRUE(Device->RemoveDir("/d"));
  EXPECT_FALSE(fs::exists(Card.Path() + "/d"));
}

TEST_F(PortapackDevice, RenamesFilesButNeverFoldersOrOntoThemselves) {
  Start();
  // The temporary file goes where TEMP points.
  const std::string savedTemp = platform::GetEnv("TEMP");
  setenv("TEMP", Work.Path().c_str(), 1);
  struct TRestore {
    std::string Value;
    ~TRestore() { Value.empty() ? unsetenv("TEMP") : setenv("TEMP", Value.c_str(), 1); }
  } restore{savedTemp};
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/old.txt", "content"));
  fs::create_directories(Card.Path() + "/DIR/in");
  ASSERT_TRUE(Device->RenameFile("/old.txt", "/DIR/new.txt")) << Device->LastError;
  EXPECT_EQ(OnCard("DIR/new.txt"), "content");
  EXPECT_EQ(OnCard("old.txt"), "<missing>");

  size_t mark = Sent().size();
  for (auto [from, to] : {std::pair{"/DIR", "/D2"},
                          {"/DIR/IN", "/x"},
                          {"/DIR/new.txt", "/DIR/in"},
                          {"/DIR/new.txt", "/DIR/new.txt."},
                          {"/DIR/new.txt", "/dir/NEW.TXT"},
                          {"/", "/x"}}) {
    EXPECT_FALSE(Device->RenameFile(from, to)) << from;
    EXPECT_TRUE(Device->LastError.find("folder") != std::string::npos ||
                Device->LastError.find("same file") != std::string::npos)
        << Device->LastError;
  }
  EXPECT_EQ(Sent().substr(mark).find("fopen"), std::string::npos);
  EXPECT_EQ(OnCard("DIR/new.txt"), "content");
  EXPECT_TRUE(fs::is_directory(Card.Path() + "/DIR/in"));
  // The device is still usable; an upload that fails keeps the old file and no temporary file.
  EXPECT_TRUE(Device->GetFile("/DIR/new.txt", Local("got"), nullptr, nullptr));
  EXPECT_FALSE(Device->RenameFile("/DIR/new.txt", "/missing/x.txt"));
  EXPECT_EQ(Device->LastError,
            "Cannot write /missing/x.txt: its folder does not exist on the device");
  EXPECT_EQ(OnCard("DIR/new.txt"), "content");
  for (const auto& entry : fs::directory_iterator(Work.Path()))
    EXPECT_EQ(entry.path().filename().string().find("quarnel_"), std::string::npos);
}

// The rename's temporary file is its own: a new file created exclusively, under a name no other
// rename shares. Links planted in the temporary folder under every name a rename might pick (by the
// clock, or by this process and a count) lead nowhere it writes.
TEST_F(PortapackDevice, ARenameNeverWritesThroughALinkInTheTemporaryFolder) {
  Start();
  const std::string temp = Work.Path() + "/temp";
  fs::create_directories(temp);
  const std::string savedTemp = platform::GetEnv("TEMP");
  setenv("TEMP", temp.c_str(), 1);
  struct TRestore {
    std::string Value;
    ~TRestore() { Value.empty() ? unsetenv("TEMP") : setenv("TEMP", Value.c_str(), 1); }
  } restore{savedTemp};
  const std::string victim = Local("victim.txt");
  ASSERT_TRUE(WriteLocalFile(victim, "precious"));
  const uint64_t now = platform::TickCountMs();
  size_t planted = 0;
  auto plant = [&](const std::string& Name) {
    fs::create_symlink(victim, temp + "/" + Name);
    ++planted;
  };
  for (uint64_t tick = now - 100; tick < now + 20000; ++tick)
    plant("quarnel_" + std::to_string(tick) + ".bin");
  char process[16];
  std::snprintf(process, sizeof(process), "%x", static_cast<unsigned>(getpid()));
  for (int count = 0; count < 50; ++count)
    plant("quarnel_" + std::string(process) + "-" + std::to_string(count) + ".bin");

  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/old.txt", "content"));
  ASSERT_TRUE(Device->RenameFile("/old.txt", "/new.txt")) << Device->LastError;
  EXPECT_EQ(OnCard("new.txt"), "content");
  std::string kept;
  EXPECT_TRUE(ReadLocalFile(victim, kept));
  EXPECT_EQ(kept, "precious");
  size_t links = 0;
  for (const auto& entry : fs::directory_iterator(temp)) {
    EXPECT_TRUE(entry.is_symlink()) << entry.path();  // the rename's own file is gone
    links += entry.is_symlink() ? 1 : 0;
  }
  EXPECT_EQ(links, planted);
}

TEST_F(PortapackDevice, PathsTheShellCannotTakeAreRefusedBeforeAnythingIsSent) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/A B", "keep"));
  ASSERT_TRUE(WriteLocalFile(Local("up"), "data"));
  const std::string fits = "/" + std::string(53, 'n');  // "filesize " + 54 = 63 characters
  ASSERT_TRUE(WriteLocalFile(Card.Path() + fits, "ok"));
  int64_t size = 0;
  EXPECT_TRUE(Device->GetFileSize(fits, size));
  EXPECT_EQ(size, 2);
  EXPECT_FALSE(Device->GetFileSize(fits + "n", size));
  std::string japanese;  // 22 characters, 66 bytes: the shell's limit counts bytes
  for (int i = 0; i < 22; ++i) japanese += "\xE6\x97\xA5";
  struct {
    std::string Path;
    const char* Reason;
  } paths[] = {{"/" + std::string(70, 'n'), "too long"},
               {"/" + japanese, " bytes, the shell takes at most 63"},
               {"/A\rls", "control character"},
               {std::string("/A\x7f"), "control character"},
               {"/A  B", "two blanks"},
               {"/A B ", "ends with a blank"},
               {"/a b c d e f g", "too many"}};
  using TOp = std::function<bool(TPortapackDevice&, const std::string&)>;
  const std::string up = Local("up");
  const std::string down = Local("down");
  TShellFileEntries entries;
  TOp ops[] = {
      [&](TPortapackDevice& D, const std::string& P) { return D.ListDir(P, entries); },
      [&](TPortapackDevice& D, const std::string& P) { return D.GetFileSize(P, size); },
      [&](TPortapackDevice& D, const std::string& P) { return D.GetFile(P, down, {}, nullptr); },
      [&](TPortapackDevice& D, const std::string& P) { return D.PutFile(up, P, {}, nullptr); },
      [](TPortapackDevice& D, const std::string& P) { return D.DeleteFile(P); },
      [](TPortapackDevice& D, const std::string& P) { return D.MakeDir(P); },
      [](TPortapackDevice& D, const std::string& P) { return D.RemoveDir(P); },
      [](TPortapackDevice& D, const std::string& P) { return D.RenameFile(P, "/new"); },
      [](TPortapackDevice& D, const std::string& P) { return D.RenameFile("/A B", P); },
      [](TPortapackDevice& D, const std::string& P) { return D.ExecCmd("unlink " + P, 3000); },
  };
  const std::string before = Sent();
  for (const auto& c : paths) {
    for (size_t op = 0; op < std::size(ops); ++op) {
      Device->LastError.clear();
      EXPECT_FALSE(ops[op](*Device, c.Path)) << c.Path << " op " << op;
      EXPECT_NE(Device->LastError.find(c.Reason), std::string::npos)
          << c.Path << " op " << op << ": " << Device->LastError;
    }
  }
  // A sync point: once its answer is back, the transcript holds everything sent before it.
  EXPECT_TRUE(Device->GetFileSize("/A B", size));
  EXPECT_EQ(Sent(), before + "filesize /A B\r\n");
  EXPECT_EQ(OnCard("A B"), "keep");
}

// The shell echoes and takes UTF-8, and the card stores Unicode long names: names in any
// language reach the right file, both ways, byte-exact.
TEST_F(PortapackDevice, NamesInAnyLanguageTravelAsUtf8) {
  const std::string german =
      "Gr\xC3\xBC\xC3\x9F"
      "e.txt";
  const std::string greek = "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC";
  const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt";
  const std::string emoji = "\xF0\x9F\x98\x80.bin";
  fs::create_directory(Card.Path() + "/" + greek);
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + german, "german"));
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + greek + "/" + japanese, TestPattern(70000)));
  ASSERT_TRUE(WriteLocalFile(Local("up"), TestPattern(40000, 7)));
  Start();

  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("/", entries));
  std::map<std::string, bool> listed;
  for (const TShellFileEntry& entry : entries) listed[entry.Name] = entry.IsDir;
  EXPECT_EQ(listed, (std::map<std::string, bool>{{german, false}, {greek, true}}));
  ASSERT_TRUE(Device->ListDir("\\" + greek, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, japanese);

  EXPECT_TRUE(Device->GetFile("/" + greek + "/" + japanese, Local("down"), {}, nullptr));
  std::string down;
  EXPECT_TRUE(ReadLocalFile(Local("down"), down));
  EXPECT_EQ(down, TestPattern(70000));
  EXPECT_TRUE(Device->PutFile(Local("up"), "/" + greek + "/" + emoji, {}, nullptr));
  EXPECT_EQ(OnCard(greek + "/" + emoji), TestPattern(40000, 7));
  EXPECT_TRUE(Device->RenameFile("/" + german, "/" + greek + "/" + german)) << Device->LastError;
  EXPECT_EQ(OnCard(greek + "/" + german), "german");
  EXPECT_FALSE(fs::exists(Card.Path() + "/" + german));
  EXPECT_TRUE(Device->DeleteFile("/" + greek + "/" + emoji));
  EXPECT_FALSE(fs::exists(Card.Path() + "/" + greek + "/" + emoji));
  EXPECT_TRUE(Device->MakeDir("/" + japanese + " dir"));
  EXPECT_TRUE(fs::is_directory(Card.Path() + "/" + japanese + " dir"));
  EXPECT_TRUE(Device->RemoveDir("/" + japanese + " dir"));
  EXPECT_FALSE(fs::exists(Card.Path() + "/" + japanese + " dir"));

  // The card's long names ignore letter case beyond ASCII too: "grüße" is the file "GRÜSSE" is
  // not, but "GRÜßE.TXT" is the same file, and a rename onto it would delete it.
  const std::string before = Sent();
  EXPECT_FALSE(Device->RenameFile("/" + greek + "/" + german, "/" + greek +
                                                                  "/GR\xC3\x9C\xC3\x9F"
                                                                  "E.TXT"));
  EXPECT_NE(Device->LastError.find("sees the same file under both names"), std::string::npos);
  EXPECT_EQ(Sent(), before);
  EXPECT_EQ(OnCard(greek + "/" + german), "german");
}

TEST_F(PortapackDevice, BlockPayloadWaitsUntilTheDeviceAsksForIt) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/victim", "v"));
  // Typed into the shell, this payload would delete the victim.
  ASSERT_TRUE(WriteLocalFile(Local("up"), "unlink /victim\r"));
  TProgressLog progress;
  // The device's file is closed behind the upload's back: "fwb" is then answered
  // "no open file", and nothing asks for the payload.
  progress.OnCall = [&] {
    std::string ignored;
    Device->SendCmd(ignored, "fclose", 2000);
  };
  EXPECT_FALSE(Device->PutFile(Local("up"), "/u.bin", progress.Callback(), nullptr));
  EXPECT_EQ(Device->LastError, "fwb: device not ready: no open file");
  EXPECT_TRUE(Device->ExecCmd("mkdir /sync", 3000));
  EXPECT_EQ(Sent().find("unlink"), std::string::npos);
  EXPECT_EQ(OnCard("victim"), "v");
}

TEST_F(PortapackDevice, AFileLeftOpenIsNeitherTruncatedNorRead) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/other", "precious"));
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/mine", "mine"));
  ASSERT_TRUE(WriteLocalFile(Local("up"), "new"));
  std::string response;
  Device->SendCmd(response, "fopen /other", 3000);  // as an earlier session may have left it
  EXPECT_FALSE(Device->PutFile(Local("up"), "/mine", nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "fopen failed");
  EXPECT_FALSE(Device->GetFile("/mine", Local("down"), nullptr, nullptr));
  EXPECT_FALSE(fs::exists(Local("down")));
  EXPECT_EQ(Sent().find("ftruncate"), std::string::npos);
  EXPECT_EQ(OnCard("other"), "precious");
  EXPECT_EQ(OnCard("mine"), "mine");
}

TEST_F(PortapackDevice, NoAnswerIsAFailure) {
  Start({"--silent"});
  // The "fclose" after the wake-up line went unanswered: not in step from the start.
  EXPECT_FALSE(Device->IsInStep());
  // The next command first wants a fresh prompt; a silent device gives none (not even to an
  // empty line), and the connection is given up, to be made afresh at the next use.
  EXPECT_LT(MsTaken([&] { EXPECT_FALSE(Device->ExecCmd("mkdir /x", 500)); }), 3000);
  EXPECT_EQ(Device->LastError, "No answer from device");
  EXPECT_FALSE(Device->IsConnected());
  TShellFileEntries entries;
  EXPECT_LT(MsTaken([&] { EXPECT_FALSE(Device->ListDir("/", entries)); }), 500);
  EXPECT_LT(MsTaken([&] { EXPECT_FALSE(Device->GetFile("/x", Local("down"), nullptr, nullptr)); }),
            500);
  EXPECT_FALSE(fs::exists(Local("down")));
  Device->Disconnect();
  EXPECT_FALSE(Device->ExecCmd("mkdir /x", 500));
  EXPECT_EQ(Device->LastError, "Not connected");
}

TEST_F(PortapackDevice, ADroppedLineOrAStalledDeviceFailsTheTransferInTime) {
  for (const char* fault : {"--drop-after", "--stall-after"}) {
    SCOPED_TRACE(fault);
    Start({fault, "40000"});
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/big", TestPattern(70000)));
    // Download: 10 s for the block's bytes, 2 s for the closing "fclose", and slack.
    EXPECT_LT(
        MsTaken([&] { EXPECT_FALSE(Device->GetFile("/big", Local("down"), nullptr, nullptr)); }),
        10000 + 2000 + 5000);
    EXPECT_EQ(Device->LastError.rfind("frb: expected 32768 got ", 0), 0u) << Device->LastError;
    EXPECT_FALSE(fs::exists(Local("down")));
    Device.reset();
    Sim.reset();
  }
  Start({"--stall-after", "40000"});
  ASSERT_TRUE(WriteLocalFile(Local("up"), TestPattern(70000)));
  // Upload: at most 2 s for the write, 5 s for the answer, 2 s for "fclose", and slack.
  EXPECT_LT(MsTaken([&] { EXPECT_FALSE(Device->PutFile(Local("up"), "/u", nullptr, nullptr)); }),
            2000 + 5000 + 2000 + 5000);
  EXPECT_TRUE(Device->LastError == "fwb: no ack" || Device->LastError == "fwb: write failed")
      << Device->LastError;
}

TEST_F(PortapackDevice, ErrorAnswersFailWithTheirReason) {
  Start({"--error", "fopen"});
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/tiny", "abc"));
  ASSERT_TRUE(WriteLocalFile(Local("up"), "abc"));
  size_t mark = Sent().size();
  EXPECT_FALSE(Device->GetFile("/tiny", Local("down"), nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "fopen failed");
  EXPECT_FALSE(fs::exists(Local("down")));
  EXPECT_EQ(Sent().substr(mark), "filesize /tiny\r\nfopen /tiny\r\n");  // no fclose
  Device.reset();
  Sim.reset();

  Start({"--error", "frb", "--error", "fwb"});
  // A read error: its text must not pass for the file's three bytes.
  EXPECT_FALSE(Device->GetFile("/tiny", Local("down"), nullptr, nullptr));
  EXPECT_NE(Device->LastError.find("not confirmed"), std::string::npos) << Device->LastError;
  EXPECT_FALSE(fs::exists(Local("down")));
  EXPECT_FALSE(Device->PutFile(Local("up"), "/tiny", nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "Error calling delete_file: 1 disk error");
  EXPECT_TRUE(Sent().ends_with("fclose\r\n"));
  EXPECT_FALSE(Device->GetFile("/gone", Local("down"), nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "File not found: /gone");
}

}  // namespace

namespace {

TEST_F(PortapackDevice, EveryStepAndTheExistenceTestAcceptTheSamePaths) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Local("up"), "new"));
  // "filesize " with these paths is longer than the shell's 63 characters, "unlink " and
  // "fopen " are not: refused as a whole, or the existence test would read "absent".
  for (size_t length : {55, 56, 57}) {
    SCOPED_TRACE(length);
    const std::string name = std::string(length - 1, 'n');
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + name, "old"));
    EXPECT_FALSE(Device->PutFile(Local("up"), "/" + name, nullptr, nullptr));
    EXPECT_NE(Device->LastError.find("too long"), std::string::npos) << Device->LastError;
    EXPECT_FALSE(Device->DeleteFile("/" + name));
    EXPECT_NE(Device->LastError.find("too long"), std::string::npos) << Device->LastError;
    EXPECT_EQ(OnCard(name), "old");
  }
}

TEST_F(PortapackDevice, ListsNamesThatReadLikeOtherLines) {
  Start();
  // The shell writes only "name" and "name/"; these names read as an error, a usage line, a
  // "d " folder or a name with a size.
  const std::vector<std::string> names = {"errors.log", "NOT FOUND.txt", "usage.txt",
                                          "d 1.txt",    "Take 2",        "Take"};
  fs::create_directories(Card.Path() + "/sub");
  for (const std::string& folder : {std::string(), std::string("/sub")}) {
    SCOPED_TRACE(folder);
    fs::create_directories(Card.Path() + folder + "/Error reports");
    for (const std::string& name : names)
      ASSERT_TRUE(WriteLocalFile(Card.Path() + folder + "/" + name, name));
    TShellFileEntries entries;
    const size_t before = Sent().size();
    ASSERT_TRUE(Device->ListDir(folder.empty() ? "/" : folder, entries)) << Device->LastError;
    std::map<std::string, bool> listed;
    for (const auto& e : entries) {
      listed[e.Name] = e.IsDir;
      // Each file holds its name; the name check's "filesize" gave the size, no second one.
      EXPECT_EQ(e.Size, e.IsDir ? 0 : static_cast<int64_t>(e.Name.size())) << e.Name;
      if (!e.IsDir) {
        EXPECT_EQ(CountOf(Sent().substr(before), folder + "/" + e.Name + "\r\n"), 1u) << e.Name;
      }
    }
    std::map<std::string, bool> expected = {{"Error reports", true}};
    for (const std::string& name : names) expected[name] = false;
    if (folder.empty()) expected["sub"] = true;
    EXPECT_EQ(listed, expected);
  }
  // Deleting "Take 2" deletes that file, not "Take".
  EXPECT_TRUE(Device->DeleteFile("/Take 2"));
  EXPECT_EQ(OnCard("Take"), "Take");
}

TEST_F(PortapackDevice, ListingsAskTheSizeOfEachFile) {
  Start();
  // "Take 2" reads like a name with a size: the name check's "filesize" gives its size.
  const std::map<std::string, int64_t> files = {{"empty.bin", 0},
                                                {"one.bin", 1},
                                                {"capture.C16", 70000},
                                                {"big.bin", 1048576},
                                                {"Take 2", 2}};
  for (const auto& [name, size] : files)
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + name, std::string(size, 'x')));
  fs::create_directories(Card.Path() + "/APPS");
  const size_t before = Sent().size();
  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("/", entries)) << Device->LastError;
  std::map<std::string, int64_t> listed;
  for (const auto& e : entries) listed[e.Name] = e.IsDir ? -1 : e.Size;
  std::map<std::string, int64_t> expected = files;
  expected["APPS"] = -1;
  EXPECT_EQ(listed, expected);
  // One round trip per file, none for the folder.
  const std::string wire = Sent().substr(before);
  EXPECT_EQ(CountOf(wire, "filesize "), files.size()) << wire;
  for (const auto& [name, size] : files) EXPECT_EQ(CountOf(wire, "filesize /" + name + "\r\n"), 1u);
}

TEST_F(PortapackDevice, SizesStayZeroAboveTheLimitAndWhenTurnedOff) {
  Start();
  for (int i = 1; i <= 4; ++i)
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/f" + std::to_string(i), std::string(i, 'x')));
  fs::create_directories(Card.Path() + "/DIR");  // folders do not count
  struct {
    uint32_t Limit;
    bool Sized;
  } cases[] = {{4, true}, {3, false}, {0, false}, {kDefaultPortapackSizes, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Limit);
    Device->Settings.PortapackSizes = c.Limit;
    const size_t before = Sent().size();
    TShellFileEntries entries;
    ASSERT_TRUE(Device->ListDir("/", entries)) << Device->LastError;
    ASSERT_EQ(entries.size(), 5u);
    for (const auto& e : entries)
      EXPECT_EQ(e.Size, c.Sized && !e.IsDir ? std::stoi(e.Name.substr(1)) : 0) << e.Name;
    EXPECT_EQ(CountOf(Sent().substr(before), "filesize "), c.Sized ? 4u : 0u);
  }
}

TEST_F(PortapackDevice, AFileWhoseSizeCannotBeHadIsListedWithZero) {
  // The card fails "filesize" of bad.bin; the shell cannot take "filesize" of the two others.
  Start({"--error", "filesize@bad.bin"});
  const std::string tooLong(54, 'n');  // "filesize /" and 54 characters exceed 63
  const std::map<std::string, int64_t> files = {
      {"bad.bin", 0}, {"good.bin", 20}, {tooLong, 0}, {"two  blanks", 0}, {"last.bin", 30}};
  for (const auto& [name, size] : files)
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + name, std::string(size ? size : 10, 'x')));
  Device->LastError = "earlier";
  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("/", entries)) << Device->LastError;
  std::map<std::string, int64_t> listed;
  for (const auto& e : entries) listed[e.Name] = e.Size;
  EXPECT_EQ(listed, files);
  EXPECT_EQ(Device->LastError, "earlier");
}

TEST_F(PortapackDevice, ADeviceThatStopsAnsweringEndsTheAskingForSizes) {
  // Each "filesize" takes longer than the 3 s it is waited for.
  Start({"--slow", "filesize:4500"});
  for (int i = 1; i <= 5; ++i)
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/f" + std::to_string(i), "data"));
  const size_t before = Sent().size();
  TShellFileEntries entries;
  // Asking on would cost a time-out and a wait for the late answer per file, 40 s in all.
  EXPECT_LT(MsTaken([&] { ASSERT_TRUE(Device->ListDir("/", entries)) << Device->LastError; }),
            15000);
  ASSERT_EQ(entries.size(), 5u);
  for (const auto& e : entries) EXPECT_EQ(e.Size, 0) << e.Name;
  EXPECT_EQ(CountOf(Sent().substr(before), "filesize "), 1u);
  // The next command waits for the late answer first.
  EXPECT_TRUE(Device->MakeDir("/after")) << Device->LastError;
  EXPECT_TRUE(fs::is_directory(Card.Path() + "/after"));
}

TEST_F(PortapackDevice, TheChecksBeforeACopyListNamesWithoutSizes) {
  Start();
  for (const char* name : {"a", "b", "c"})
    ASSERT_TRUE(WriteLocalFile(Card.Path() + "/" + name, "1"));
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/empty", ""));
  const size_t before = Sent().size();
  // An empty file sizes like a folder: the listing of its folder tells them apart.
  ASSERT_TRUE(Device->GetFile("/empty", Local("empty"), nullptr, nullptr)) << Device->LastError;
  const std::string wire = Sent().substr(before);
  EXPECT_EQ(CountOf(wire, "ls /\r\n"), 1u) << wire;
  EXPECT_EQ(CountOf(wire, "filesize "), 1u) << wire;
}

TEST_F(PortapackDevice, NamesTheCardCannotHoldAreRefusedBeforeAnyCommand) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Local("up"), "data"));
  const std::string before = Sent();
  for (const char* name : {"/a?b.txt", "/x>y", "/q\"uote", "/s*", "/c:d", "/l<t", "/p|p"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Device->PutFile(Local("up"), name, nullptr, nullptr));
    EXPECT_NE(Device->LastError.find("cannot hold"), std::string::npos) << Device->LastError;
    EXPECT_FALSE(Device->RenameFile("/x", name));
    EXPECT_FALSE(Device->MakeDir(name));
  }
  // Nothing was sent, and the device's file slot still works.
  EXPECT_TRUE(Device->PutFile(Local("up"), "/ok.txt", nullptr, nullptr)) << Device->LastError;
  EXPECT_EQ(Sent().substr(before.size()).rfind("filesize /ok.txt\r\n", 0), 0u);
  EXPECT_EQ(OnCard("ok.txt"), "data");
}

TEST_F(PortapackDevice, UploadsOntoAFolderOrIntoAMissingOneAreRefusedBeforeFopen) {
  Start();
  fs::create_directories(Card.Path() + "/DIR");
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/empty", ""));
  ASSERT_TRUE(WriteLocalFile(Local("up"), "data"));
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/src.txt", "src"));
  const std::string before = Sent();
  EXPECT_FALSE(Device->PutFile(Local("up"), "/DIR", nullptr, nullptr));
  EXPECT_NE(Device->LastError.find("folder"), std::string::npos) << Device->LastError;
  EXPECT_FALSE(Device->PutFile(Local("up"), "/missing/x.txt", nullptr, nullptr));
  EXPECT_NE(Device->LastError.find("does not exist"), std::string::npos) << Device->LastError;
  EXPECT_FALSE(Device->RenameFile("/src.txt", "/missing/x.txt"));
  EXPECT_EQ(Sent().substr(before.size()).find("fopen"), std::string::npos);
  // An empty file is no folder; and the file slot was never wedged.
  EXPECT_TRUE(Device->PutFile(Local("up"), "/empty", nullptr, nullptr)) << Device->LastError;
  EXPECT_EQ(OnCard("empty"), "data");
  EXPECT_TRUE(fs::is_directory(Card.Path() + "/DIR"));
}

TEST_F(PortapackDevice, AFileAnEarlierSessionLeftOpenIsClosedAtConnect) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/other", "precious"));
  ASSERT_TRUE(WriteLocalFile(Local("up"), "new"));
  std::string response;
  Device->SendCmd(response, "fopen /other", 3000);  // then the host went away
  Device->Disconnect();
  Device = std::make_unique<TPortapackDevice>(Sim->PortName());
  ASSERT_TRUE(Device->Connect());
  EXPECT_TRUE(Device->PutFile(Local("up"), "/mine", nullptr, nullptr)) << Device->LastError;
  EXPECT_EQ(OnCard("mine"), "new");
  EXPECT_EQ(OnCard("other"), "precious");
}

TEST_F(PortapackDevice, ALateAnswerIsNotTakenForTheNextCommands) {
  // The card takes 4.5 s to remove a file, longer than the 3 s the command waits.
  Start({"--slow", "unlink:4500"});
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/a", "a"));
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/b", "bb"));
  EXPECT_FALSE(Device->DeleteFile("/a"));  // not known to be done: no success
  // The next listing waits for the late "ok" and its prompt; it shows no file named "ok".
  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("/", entries)) << Device->LastError;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Name, "b");
  int64_t size = 0;
  EXPECT_TRUE(Device->GetFileSize("/b", size));
  EXPECT_EQ(size, 2);
}

TEST_F(PortapackDevice, CaseOnlyRenamesBeyondAsciiAreRefused) {
  Start();
  // The card folds "ä" and "Ä" as it folds "a" and "A": the same file under both names.
  ASSERT_TRUE(WriteLocalFile(Card.Path() + "/\xc3\xa4.txt", "umlaut"));
  EXPECT_FALSE(Device->RenameFile("/\xc3\xa4.txt", "/\xc3\x84.txt"));
  EXPECT_NE(Device->LastError.find("same file"), std::string::npos) << Device->LastError;
  EXPECT_EQ(OnCard("\xc3\xa4.txt"), "umlaut");
}

}  // namespace
