// TFlipperDevice against the simulated Flipper command line: listings, sizes, byte-exact
// transfers with their chunk and progress counts, names with blanks, aborts, the stalled state,
// paths the command line cannot take, and a silent, noisy, dropping or refusing device.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "devices/uFlipper.h"
#include "support/DevSim.h"
#include "support/DeviceLogCapture.h"

namespace {

bool Exists(const std::string& Path) {
  struct stat info {};
  return stat(Path.c_str(), &info) == 0;
}

double SecondsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

// The progress calls of one transfer. Answers "stop" once Done reaches StopAt (if set).
struct TProgressLog {
  std::vector<std::pair<int64_t, int64_t>> Calls;
  int64_t StopAt = -1;

  TTransferProgress Callback() {
    return [this](void* Data, int64_t Done, int64_t Total) {
      EXPECT_EQ(Data, this);
      Calls.emplace_back(Done, Total);
      return StopAt < 0 || Done < StopAt;
    };
  }
};

class FlipperDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Root.Path().empty());
    ASSERT_FALSE(Local.Path().empty());
  }
  void TearDown() override { Device.reset(); }

  // A simulator with a transcript, and a device connected to it (replacing earlier ones).
  void Start(std::vector<std::string> Extra = {}) {
    Device.reset();
    Sim.reset();
    Extra.insert(Extra.end(), {"--transcript", TranscriptPath()});
    Sim = std::make_unique<TDevSim>("flipper", Root.Path(), Extra);
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    Device.reset(new TFlipperDevice(Sim->PortName()));
    ASSERT_TRUE(Device->Connect()) << Device->LastError;
  }

  std::string TranscriptPath() const { return Root.Path() + "/transcript.txt"; }
  std::string Ext(const std::string& Name) const { return Root.Path() + "/ext/" + Name; }
  std::string LocalFile(const std::string& Name) const { return Local.Path() + "/" + Name; }

  TTranscriptData Transcript() const {
    TTranscriptData data;
    EXPECT_TRUE(ReadTranscript(TranscriptPath(), data));
    return data;
  }
  // Everything the device received so far.
  std::string Sent() const { return Transcript().FromHost; }

  // The listing as sorted "D name" / "F name size" lines (the device lists in directory order).
  std::vector<std::string> List(const std::string& Path) {
    TShellFileEntries entries;
    EXPECT_TRUE(Device->ListDir(Path, entries)) << Path << ": " << Device->LastError;
    std::vector<std::string> lines;
    for (const TShellFileEntry& e : entries) {
      EXPECT_FALSE(e.HasTime);
      lines.push_back(e.IsDir ? "D " + e.Name : "F " + e.Name + " " + std::to_string(e.Size));
      if (e.IsDir) {
        EXPECT_EQ(e.Size, 0);
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  std::string Stored(const std::string& Path) const {
    std::string bytes;
    EXPECT_TRUE(ReadLocalFile(Path, bytes)) << Path;
    return bytes;
  }

  size_t LogLinesStartingWith(const std::string& Prefix) const {
    return std::count_if(Log.begin(), Log.end(),
                         [&](const std::string& line) { return line.rfind(Prefix, 0) == 0; });
  }

  TScratchDir Root;
  TScratchDir Local;
  std::unique_ptr<TDevSim> Sim;
  std::unique_ptr<TFlipperDevice, TShellDeviceDeleter> Device;
  TDeviceLogCapture Capture;
  std::vector<std::string>& Log = Capture.Lines;
};

TEST_F(FlipperDevice, ConnectsAndAnswersTheRootWithoutAsking) {
  Start();
  EXPECT_TRUE(Device->Connected);
  EXPECT_EQ(Device->Title, "Flipper Zero on " + Sim->PortName());
  EXPECT_EQ(Device->Version, "Flipper Zero");
  EXPECT_EQ(Device->GetKind(), dkFlipper);
  EXPECT_EQ(LogLinesStartingWith("flipper connect OK"), 1u);
  const std::string sent = Sent();
  EXPECT_EQ(sent, "\r");  // the wake-up CR and nothing else
  for (const char* root : {"", "\\", "/", "//"}) {
    EXPECT_EQ(List(root), (std::vector<std::string>{"D ext", "D int"})) << root;
  }
  EXPECT_EQ(Sent(), sent);
  EXPECT_EQ(LogLinesStartingWith("flipper ListDir root: synthetic int+ext"), 4u);
}

TEST_F(FlipperDevice, ListsFoldersAndSizesFiles) {
  Start();
  ASSERT_EQ(mkdir(Ext("apps").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(Ext("empty dir").c_str(), 0755), 0);
  ASSERT_TRUE(WriteLocalFile(Ext("notes 2.txt"), TestPattern(1234)));
  ASSERT_TRUE(WriteLocalFile(Ext("zero.bin"), ""));
  ASSERT_TRUE(WriteLocalFile(Root.Path() + "/int/i.txt", "12345"));

  EXPECT_EQ(List("\\ext"), (std::vector<std::string>{"D apps", "D empty dir", "F notes 2.txt 1234",
                                                     "F zero.bin 0"}));
  EXPECT_EQ(LogLinesStartingWith("flipper ls done, 4 entries"), 1u);
  EXPECT_EQ(List("/ext/empty dir/"), std::vector<std::string>{});
  EXPECT_EQ(List("int"), std::vector<std::string>{"F i.txt 5"});
  const std::string sent = Sent();
  EXPECT_NE(sent.find("storage list /ext\r"), std::string::npos);
  EXPECT_NE(sent.find("storage list \"/ext/empty dir\"\r"), std::string::npos);

  int64_t size = -1;
  EXPECT_TRUE(Device->GetFileSize("\\ext\\notes 2.txt", size));
  EXPECT_EQ(size, 1234);
  EXPECT_TRUE(Device->GetFileSize("/ext/zero.bin", size));
  EXPECT_EQ(size, 0);
  EXPECT_FALSE(Device->GetFileSize("/ext/apps", size));
  EXPECT_FALSE(Device->GetFileSize("/ext/none", size));
  EXPECT_EQ(Device->LastError, "Storage error: file/dir not exist");

  TShellFileEntries entries;
  Device->LastError.clear();
  EXPECT_FALSE(Device->ListDir("/ext/none", entries));
  EXPECT_EQ(Device->LastError, "Storage error: file/dir not exist");
}

TEST_F(FlipperDevice, TransfersAreByteExactWithTheirChunkAndProgressCounts) {
  Start();
  for (size_t size : {0, 1, 511, 512, 513, 8192, 8193, 32768, 32769, 2 << 20}) {
    SCOPED_TRACE(size);
    const std::string data = TestPattern(size, static_cast<uint32_t>(size) + 7);
    const int64_t total = static_cast<int64_t>(size);

    // Upload over a longer file: the old content must not survive (write_chunk appends).
    ASSERT_TRUE(WriteLocalFile(Ext("up.bin"), std::string(size + 10, 'z')));
    ASSERT_TRUE(WriteLocalFile(LocalFile("src.bin"), data));
    const size_t sentBefore = Sent().size();
    TProgressLog up;
    ASSERT_TRUE(Device->PutFile(LocalFile("src.bin"), "\\ext\\up.bin", up.Callback(), &up))
        << Device->LastError;
    ASSERT_TRUE(Stored(Ext("up.bin")) == data);
    const size_t uploadChunks = size == 0 ? 1 : (size + 32767) / 32768;
    EXPECT_EQ(CountOf(Sent().substr(sentBefore), "storage write_chunk /ext/up.bin "), uploadChunks);
    ASSERT_EQ(up.Calls.size(), size == 0 ? 1 : 1 + uploadChunks);
    EXPECT_EQ(up.Calls.front(), std::make_pair(int64_t{0}, total));
    EXPECT_EQ(up.Calls.back(), std::make_pair(total, total));

    // Download over a local file with other content.
    ASSERT_TRUE(WriteLocalFile(Ext("down.bin"), data));
    ASSERT_TRUE(WriteLocalFile(LocalFile("dst.bin"), "older, other content"));
    Log.clear();
    TProgressLog down;
    ASSERT_TRUE(Device->GetFile("/ext/down.bin", LocalFile("dst.bin"), down.Callback(), &down))
        << Device->LastError;
    ASSERT_TRUE(Stored(LocalFile("dst.bin")) == data);
    const size_t downloadChunks = (size + 8191) / 8192;
    ASSERT_EQ(down.Calls.size(), size == 0 ? 0 : 1 + downloadChunks);
    for (size_t i = 0; i < down.Calls.size(); ++i) {
      EXPECT_EQ(down.Calls[i],
                std::make_pair(static_cast<int64_t>(std::min(i * 8192, size)), total));
    }
    // One chunk, one write to the local file: 8192 bytes in one, 8193 in two.
    EXPECT_EQ(LogLinesStartingWith("flipper GetFile: done="), downloadChunks);
  }
}

TEST_F(FlipperDevice, NamesWithBlanksReachTheRightFile) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Ext("My"), "keep me"));
  ASSERT_TRUE(WriteLocalFile(Ext("My File.sub"), "sub data"));
  ASSERT_EQ(mkdir(Ext("My Dir").c_str(), 0755), 0);
  EXPECT_EQ(List("/ext"), (std::vector<std::string>{"D My Dir", "F My 7", "F My File.sub 8"}));

  int64_t size = 0;
  EXPECT_TRUE(Device->GetFileSize("/ext/My File.sub", size));
  EXPECT_EQ(size, 8);
  ASSERT_TRUE(Device->GetFile("/ext/My File.sub", LocalFile("got"), nullptr, nullptr));
  EXPECT_EQ(Stored(LocalFile("got")), "sub data");
  ASSERT_TRUE(WriteLocalFile(LocalFile("new"), "new data"));
  ASSERT_TRUE(Device->PutFile(LocalFile("new"), "/ext/My Dir/New File.bin", nullptr, nullptr));
  EXPECT_EQ(Stored(Ext("My Dir/New File.bin")), "new data");
  EXPECT_EQ(List("/ext/My Dir"), std::vector<std::string>{"F New File.bin 8"});

  ASSERT_TRUE(Device->RenameFile("/ext/My File.sub", "\\ext\\My Dir\\Other Name.sub"))
      << Device->LastError;
  EXPECT_FALSE(Exists(Ext("My File.sub")));
  EXPECT_EQ(Stored(Ext("My Dir/Other Name.sub")), "sub data");
  ASSERT_TRUE(Device->DeleteFile("/ext/My Dir/Other Name.sub"));
  ASSERT_TRUE(Device->DeleteFile("/ext/My Dir/New File.bin"));
  ASSERT_TRUE(Device->RemoveDir("/ext/My Dir"));
  EXPECT_FALSE(Exists(Ext("My Dir")));

  // Unquoted, this would remove "/ext/My".
  ASSERT_TRUE(WriteLocalFile(Ext("My File.sub"), "again"));
  ASSERT_TRUE(Device->DeleteFile("/ext/My File.sub"));
  EXPECT_FALSE(Exists(Ext("My File.sub")));
  EXPECT_EQ(Stored(Ext("My")), "keep me");

  const std::string sent = Sent();
  for (const char* command :
       {"storage stat \"/ext/My File.sub\"\r", "storage read_chunks \"/ext/My File.sub\" 8192\r",
        "storage remove \"/ext/My Dir/New File.bin\"\r",
        "storage write_chunk \"/ext/My Dir/New File.bin\" 8\r",
        "storage rename \"/ext/My File.sub\" \"/ext/My Dir/Other Name.sub\"\r"}) {
    EXPECT_NE(sent.find(command), std::string::npos) << command;
  }
}

TEST_F(FlipperDevice, PathsTheCommandLineCannotTakeAreRefusedBeforeAnythingIsSent) {
  Start();
  ASSERT_TRUE(WriteLocalFile(Ext("keep"), "k"));
  ASSERT_TRUE(WriteLocalFile(Ext("Mll"), "m"));  // what "/ext/Müll" would reach: ü is dropped
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), "x"));
  const std::string before = Sent();
  std::function<bool(const std::string&)> operations[] = {
      [&](const std::string& p) {
        TShellFileEntries entries;
        return Device->ListDir(p, entries);
      },
      [&](const std::string& p) {
        int64_t size = 0;
        return Device->GetFileSize(p, size);
      },
      [&](const std::string& p) { return Device->GetFile(p, LocalFile("dst"), nullptr, nullptr); },
      [&](const std::string& p) { return Device->PutFile(LocalFile("src"), p, nullptr, nullptr); },
      [&](const std::string& p) { return Device->DeleteFile(p); },
      [&](const std::string& p) { return Device->MakeDir(p); },
      [&](const std::string& p) { return Device->RemoveDir(p); },
      [&](const std::string& p) { return Device->RenameFile(p, "/ext/fine"); },
      [&](const std::string& p) { return Device->RenameFile("/ext/keep", p); },
  };
  for (const char* path :
       {"/ext/a\"b", "/ext/x\rstorage remove /ext/keep", "/ext/tab\there", "/ext/M\xc3\xbcll"}) {
    for (size_t i = 0; i < std::size(operations); ++i) {
      SCOPED_TRACE(std::string(path) + " operation " + std::to_string(i));
      Device->LastError.clear();
      EXPECT_FALSE(operations[i](path));
      EXPECT_TRUE(Device->LastError.find("Path contains a ") != std::string::npos ||
                  Device->LastError.find("characters outside ASCII") != std::string::npos)
          << Device->LastError;
    }
  }
  EXPECT_EQ(Sent(), before);
  EXPECT_TRUE(Exists(Ext("keep")));
  EXPECT_TRUE(Exists(Ext("Mll")));
  EXPECT_FALSE(Exists(LocalFile("dst")));
  EXPECT_TRUE(Device->Connected);
}

// The card driver lists names in code page 850: they arrive in Unicode, and since they cannot be
// typed back, a download of one is refused, saying why, without a command.
TEST_F(FlipperDevice, CodePage850NamesAreListedInUnicodeAndRefusedForOperations) {
  const std::string uber =
      "\xC3\x9C"
      "berweisung.sub";  // "Überweisung.sub" on the card
  Start();
  ASSERT_TRUE(WriteLocalFile(Ext(uber), "1234"));
  ASSERT_TRUE(WriteLocalFile(Ext("plain.sub"), "56"));
  // Greek is not in code page 850: the card driver shows each letter as "?".
  ASSERT_TRUE(WriteLocalFile(Ext("\xCE\xB1\xCE\xB2.sub"), "7"));
  TShellFileEntries entries;
  ASSERT_TRUE(Device->ListDir("/ext", entries)) << Device->LastError;
  std::vector<std::pair<std::string, int64_t>> listed;
  for (const TShellFileEntry& entry : entries) listed.emplace_back(entry.Name, entry.Size);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::pair<std::string, int64_t>>{
                        {"??.sub", 1}, {"plain.sub", 2}, {uber, 4}}));
  const std::string before = Sent();
  EXPECT_FALSE(Device->GetFile("/ext/" + uber, LocalFile("dst"), nullptr, nullptr));
  EXPECT_EQ(Device->LastError,
            "Cannot use \"/ext/" + uber +
                "\" on the Flipper: its command line cannot take "
                "characters outside ASCII (\"\xC3\x9C\"), it drops them or takes them for cursor "
                "keys; rename the file on the Flipper itself or on its SD card");
  EXPECT_EQ(Sent(), before);
  EXPECT_FALSE(Exists(LocalFile("dst")));
  // ASCII names work as ever.
  EXPECT_TRUE(Device->GetFile("/ext/plain.sub", LocalFile("plain"), nullptr, nullptr));
}

TEST_F(FlipperDevice, AbortedDownloadLeavesTheDeviceReadyForTheNextCommand) {
  Start();
  const std::string data = TestPattern(100000);
  ASSERT_TRUE(WriteLocalFile(Ext("big.bin"), data));
  ASSERT_TRUE(WriteLocalFile(Ext("small.txt"), "abc"));

  TProgressLog abort;
  abort.StopAt = 2 * 8192;
  EXPECT_FALSE(Device->GetFile("/ext/big.bin", LocalFile("big.bin"), abort.Callback(), &abort));
  EXPECT_EQ(Device->LastError, "User abort");
  EXPECT_FALSE(Exists(LocalFile("big.bin")));
  EXPECT_TRUE(Device->Connected);
  // Still inside read_chunks, the device would take the listing command as chunk requests.
  EXPECT_EQ(List("/ext"), (std::vector<std::string>{"F big.bin 100000", "F small.txt 3"}));
  ASSERT_TRUE(Device->GetFile("/ext/big.bin", LocalFile("big.bin"), nullptr, nullptr));
  EXPECT_TRUE(Stored(LocalFile("big.bin")) == data);
  std::vector<std::string> notes = Transcript().Notes;
  EXPECT_EQ(std::count(notes.begin(), notes.end(), "port opened"), 2);

  // Stopped at the last chunk, the command has ended by itself: no new session is needed.
  TProgressLog late;
  late.StopAt = 3;
  EXPECT_FALSE(Device->GetFile("/ext/small.txt", LocalFile("small.txt"), late.Callback(), &late));
  EXPECT_EQ(Device->LastError, "User abort");
  EXPECT_FALSE(Exists(LocalFile("small.txt")));
  EXPECT_EQ(List("/ext"), (std::vector<std::string>{"F big.bin 100000", "F small.txt 3"}));
  notes = Transcript().Notes;
  EXPECT_EQ(std::count(notes.begin(), notes.end(), "port opened"), 2);
}

TEST_F(FlipperDevice, AbortedUploadKeepsItsFirstChunksAndTheDevice) {
  Start();
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), TestPattern(100000)));
  TProgressLog abort;
  abort.StopAt = 32768;
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/part.bin", abort.Callback(), &abort));
  EXPECT_EQ(Device->LastError, "User abort");
  EXPECT_TRUE(Device->Connected);
  EXPECT_EQ(List("/ext"), std::vector<std::string>{"F part.bin 32768"});
  EXPECT_TRUE(Stored(Ext("part.bin")) == TestPattern(100000).substr(0, 32768));
}

TEST_F(FlipperDevice, BrokenUploadStallsTheDeviceAndNothingMoreIsSent) {
  Start({"--stall-after", "1000"});
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), TestPattern(5000)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/up.bin", nullptr, nullptr));
  EXPECT_LT(SecondsSince(start), 20.0);  // a 2 s write and a 5 s prompt wait at most
  EXPECT_EQ(Device->LastError.rfind("write_chunk: ", 0), 0u) << Device->LastError;
  EXPECT_FALSE(Device->Connected);

  // Stalled: the device may still wait for payload, so every command would be stored as data.
  Log.clear();
  TShellFileEntries entries;
  EXPECT_FALSE(Device->ListDir("/ext", entries));
  EXPECT_EQ(Device->LastError, "Not connected");
  int64_t size = 0;
  EXPECT_FALSE(Device->GetFileSize("/ext/up.bin", size));
  EXPECT_FALSE(Device->GetFile("/ext/up.bin", LocalFile("dst"), nullptr, nullptr));
  EXPECT_FALSE(Exists(LocalFile("dst")));
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/up.bin", nullptr, nullptr));
  for (const auto& change : std::vector<std::function<bool()>>{
           [&] { return Device->DeleteFile("/ext/up.bin"); },
           [&] { return Device->MakeDir("/ext/d"); }, [&] { return Device->RemoveDir("/ext/d"); },
           [&] { return Device->RenameFile("/ext/up.bin", "/ext/x"); }}) {
    Device->LastError.clear();
    EXPECT_FALSE(change());
    EXPECT_EQ(Device->LastError, "Not connected");
  }
  EXPECT_EQ(LogLinesStartingWith("flipper SendCmd"), 0u);
}

TEST_F(FlipperDevice, DroppedLineFailsBothTransfersWithoutLocalLeftovers) {
  Start({"--drop-after", "1000"});
  ASSERT_TRUE(WriteLocalFile(Ext("big.bin"), TestPattern(5000)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->GetFile("/ext/big.bin", LocalFile("big.bin"), nullptr, nullptr));
  EXPECT_LT(SecondsSince(start), 40.0);  // chunk deadline and new-session wait at most
  EXPECT_EQ(Device->LastError.rfind("read_chunks: expected 5000 got ", 0), 0u) << Device->LastError;
  EXPECT_FALSE(Exists(LocalFile("big.bin")));
  EXPECT_FALSE(Device->Connected);

  Start({"--drop-after", "1000"});
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), TestPattern(5000)));
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/up.bin", nullptr, nullptr));
  EXPECT_LT(SecondsSince(start), 20.0);
  EXPECT_EQ(Device->LastError.rfind("write_chunk: ", 0), 0u) << Device->LastError;
  EXPECT_FALSE(Device->Connected);
}

TEST_F(FlipperDevice, RefusedRemoveStopsTheUploadBeforeAnyChunk) {
  Start({"--error", "remove:5"});
  ASSERT_TRUE(WriteLocalFile(Ext("old.bin"), "OLD"));
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), "NEW"));
  const size_t before = Sent().size();
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/old.bin", nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "Storage error: access denied");
  EXPECT_EQ(Sent().substr(before).find("write_chunk"), std::string::npos);
  EXPECT_EQ(Stored(Ext("old.bin")), "OLD");  // not "OLDNEW"
  EXPECT_TRUE(Device->Connected);
}

TEST_F(FlipperDevice, MakingAnExistingFolderSucceeds) {
  Start();
  ASSERT_EQ(mkdir(Ext("have").c_str(), 0755), 0);
  ASSERT_TRUE(WriteLocalFile(Ext("file"), "f"));
  EXPECT_TRUE(Device->MakeDir("/ext/have")) << Device->LastError;
  EXPECT_TRUE(Device->MakeDir("\\ext\\new dir\\")) << Device->LastError;
  struct stat info {};
  ASSERT_EQ(stat(Ext("new dir").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_FALSE(Device->MakeDir("/ext/file"));
  EXPECT_EQ(Device->LastError, "Storage error: file/dir already exist");
  EXPECT_FALSE(Device->MakeDir("/ext/missing/sub"));
  EXPECT_EQ(Device->LastError, "Storage error: file/dir not exist");
}

TEST_F(FlipperDevice, ClosedOrNeverConnectedDeviceRefusesEveryOperation) {
  TFlipperDevice never(Root.Path() + "/no-such-port");
  EXPECT_FALSE(never.Connect());
  EXPECT_EQ(never.LastError, "Cannot open " + Root.Path() + "/no-such-port");
  EXPECT_EQ(never.Title, "Flipper Zero on " + Root.Path() + "/no-such-port");
  EXPECT_FALSE(never.Connected);

  Start();
  Device->Disconnect();
  Device->Disconnect();
  EXPECT_FALSE(Device->Connected);
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), "x"));
  for (TFlipperDevice* device : {&never, Device.get()}) {
    TShellFileEntries entries;
    EXPECT_FALSE(device->ListDir("/ext", entries));
    EXPECT_EQ(device->LastError, "Not connected");
    device->LastError = "earlier";
    int64_t size = 0;
    EXPECT_FALSE(device->GetFileSize("/ext/a", size));
    EXPECT_FALSE(device->GetFile("/ext/a", LocalFile("dst"), nullptr, nullptr));
    EXPECT_FALSE(device->PutFile(LocalFile("src"), "/ext/a", nullptr, nullptr));
    EXPECT_EQ(device->LastError, "earlier");
    EXPECT_FALSE(device->DeleteFile("/ext/a"));
    EXPECT_EQ(device->LastError, "Not connected");
    device->LastError.clear();
    EXPECT_FALSE(device->MakeDir("/ext/a"));
    EXPECT_EQ(device->LastError, "Not connected");
    device->LastError.clear();
    EXPECT_FALSE(device->RemoveDir("/ext/a"));
    EXPECT_EQ(device->LastError, "Not connected");
    device->LastError.clear();
    EXPECT_FALSE(device->RenameFile("/ext/a", "/ext/b"));
    EXPECT_EQ(device->LastError, "Not connected");
  }
  EXPECT_EQ(Sent(), "\r");
}

TEST_F(FlipperDevice, SilentDeviceFailsWithinItsTimeOuts) {
  auto start = std::chrono::steady_clock::now();
  Start({"--silent"});  // nothing is checked at connect: any port that opens is taken
  EXPECT_LT(SecondsSince(start), 5.0);
  TShellFileEntries entries;
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->ListDir("/ext", entries));
  EXPECT_LT(SecondsSince(start), 12.0);
  EXPECT_EQ(Device->LastError, "No answer from the device (no prompt within 8000 ms)");
  EXPECT_FALSE(Device->IsInStep());
  // The next command first wants a fresh session; a silent device gives none, and the
  // connection is given up, to be made afresh at the next use.
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->DeleteFile("/ext/a"));
  EXPECT_NE(Device->LastError.find("out of step"), std::string::npos) << Device->LastError;
  EXPECT_FALSE(Device->IsConnected());
  ASSERT_TRUE(WriteLocalFile(LocalFile("dst"), "before"));
  EXPECT_FALSE(Device->GetFile("\\ext\\a", LocalFile("dst"), nullptr, nullptr));
  EXPECT_EQ(Stored(LocalFile("dst")), "before");
  EXPECT_LT(SecondsSince(start), 12.0);
}

TEST_F(FlipperDevice, NoisyLineStillListsAndTransfers) {
  Start({"--noise"});
  const std::string data = TestPattern(20000);
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), data));
  ASSERT_TRUE(Device->PutFile(LocalFile("src"), "/ext/n.bin", nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(Ext("n.bin")) == data);
  ASSERT_TRUE(Device->GetFile("/ext/n.bin", LocalFile("dst"), nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(LocalFile("dst")) == data);
  EXPECT_TRUE(Device->MakeDir("/ext/d"));
  EXPECT_TRUE(Device->RenameFile("/ext/n.bin", "/ext/d/m.bin"));
  EXPECT_EQ(List("/ext/d"), std::vector<std::string>{"F m.bin 20000"});
  EXPECT_TRUE(Device->DeleteFile("/ext/d/m.bin"));
  EXPECT_EQ(List("/ext"), std::vector<std::string>{"D d"});
}

TEST_F(FlipperDevice, DeviceErrorsFailWithTheirTextAndKeepTheDeviceUsable) {
  Start({"--error", "read_chunks", "--error", "write_chunk", "--error", "rename", "--error",
         "mkdir"});
  ASSERT_TRUE(WriteLocalFile(Ext("a.bin"), TestPattern(3000)));
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), TestPattern(3000)));
  ASSERT_TRUE(WriteLocalFile(LocalFile("zero"), ""));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Device->GetFile("/ext/a.bin", LocalFile("dst"), nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "Storage error: internal error");
  EXPECT_FALSE(Exists(LocalFile("dst")));
  EXPECT_FALSE(Device->PutFile(LocalFile("src"), "/ext/n.bin", nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "write_chunk: unexpected response: Storage error: internal error");
  // A file of 0 bytes that the device could not create is no success either.
  EXPECT_FALSE(Device->PutFile(LocalFile("zero"), "/ext/z.bin", nullptr, nullptr));
  EXPECT_EQ(Device->LastError, "write_chunk: Storage error: internal error");
  EXPECT_FALSE(Device->RenameFile("/ext/a.bin", "/ext/b.bin"));
  EXPECT_EQ(Device->LastError, "Storage error: internal error");
  EXPECT_FALSE(Device->MakeDir("/ext/d"));
  EXPECT_EQ(Device->LastError, "Storage error: internal error");
  EXPECT_LT(SecondsSince(start), 10.0);
  // A refusal is an answer: the device is at its prompt and stays connected.
  EXPECT_TRUE(Device->Connected);
  EXPECT_EQ(List("/ext"), std::vector<std::string>{"F a.bin 3000"});

  Start({"--error", "list", "--error", "stat"});
  TShellFileEntries entries;
  EXPECT_FALSE(Device->ListDir("/ext", entries));
  EXPECT_EQ(Device->LastError, "Storage error: internal error");
  int64_t size = 0;
  EXPECT_FALSE(Device->GetFileSize("/ext/a.bin", size));
  EXPECT_EQ(Device->LastError, "Storage error: internal error");
  // A download asks read_chunks alone, which announces the size itself.
  EXPECT_TRUE(Device->GetFile("/ext/a.bin", LocalFile("dst"), nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(LocalFile("dst")) == TestPattern(3000));
}

}  // namespace

namespace {

TEST_F(FlipperDevice, ALatePromptIsNotTakenForTheNextAnswer) {
  // Removing takes 4 s on this card, longer than the 3 s the command waits; a stat takes a
  // moment, so that its answer comes after the late prompt and its own echo.
  Start({"--slow", "remove:4000", "--slow", "stat:500"});
  ASSERT_TRUE(WriteLocalFile(Ext("b.txt"), "b"));
  ASSERT_TRUE(WriteLocalFile(Ext("precious.txt"), "precious"));
  EXPECT_FALSE(Device->DeleteFile("/ext/b.txt"));
  // The existence test right after must not read the late prompt as "no such file".
  int64_t size = 0;
  EXPECT_TRUE(Device->GetFileSize("/ext/precious.txt", size)) << Device->LastError;
  EXPECT_EQ(size, 8);
  EXPECT_EQ(List("/ext"), (std::vector<std::string>{"F precious.txt 8"}));
}

TEST_F(FlipperDevice, ARenameWaitsAsLongAsTheDeviceCopies) {
  // The device copies the file: 7 s here, more than a fixed 5 s but within what the size
  // (400 kB) allows.
  Start({"--slow", "rename:7000"});
  ASSERT_TRUE(WriteLocalFile(Ext("big.bin"), TestPattern(400000)));
  EXPECT_TRUE(Device->RenameFile("/ext/big.bin", "/ext/moved.bin")) << Device->LastError;
  EXPECT_EQ(Stored(Ext("moved.bin")), TestPattern(400000));
}

TEST_F(FlipperDevice, DownloadsTakeTheSizeTheTransferAnnounces) {
  // stat reports less than the file has (a file that grew, or one of 4 GiB and more whose size
  // stat prints in 32 bits); read_chunks announces the whole size.
  Start({"--stat-short", "1000"});
  const std::string data = TestPattern(3000, 9);
  ASSERT_TRUE(WriteLocalFile(Ext("grown.bin"), data));
  ASSERT_TRUE(Device->GetFile("/ext/grown.bin", LocalFile("got"), nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(LocalFile("got")) == data);
  // The device finished its command and is at its prompt.
  EXPECT_EQ(List("/ext"), (std::vector<std::string>{"F grown.bin 3000"}));
}

TEST_F(FlipperDevice, ALateLineEndAfterReadyIsNoData) {
  // Before the first chunk and behind each of the others, where it is read with the chunk.
  Start({"--split-ready", "100"});
  const std::string data = TestPattern(20000, 4);
  ASSERT_TRUE(WriteLocalFile(Ext("f.bin"), data));
  ASSERT_TRUE(Device->GetFile("/ext/f.bin", LocalFile("got"), nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(LocalFile("got")) == data);
}

TEST_F(FlipperDevice, ADownloadTypesTheTransferAloneAndLeavesLocalFilesItCannotReplace) {
  Start();
  const std::string data = TestPattern(20000, 5);
  ASSERT_TRUE(WriteLocalFile(Ext("f.bin"), data));
  ASSERT_TRUE(WriteLocalFile(Ext("empty.bin"), ""));
  ASSERT_EQ(mkdir(Ext("dir").c_str(), 0755), 0);
  size_t mark = Sent().size();
  ASSERT_TRUE(Device->GetFile("/ext/f.bin", LocalFile("got"), nullptr, nullptr))
      << Device->LastError;
  EXPECT_TRUE(Stored(LocalFile("got")) == data);
  // No stat before it: the command, then one answer byte for each of the three chunks; the
  // device's checksum of its file after them.
  EXPECT_EQ(Sent().substr(mark),
            "storage read_chunks /ext/f.bin 8192\r\r\r\rstorage md5 /ext/f.bin\r");

  // What the device does not have as a file leaves a local file of that name as it was.
  for (const char* remote : {"/ext/none.bin", "/ext/dir"}) {
    SCOPED_TRACE(remote);
    ASSERT_TRUE(WriteLocalFile(LocalFile("keep"), "local content"));
    EXPECT_FALSE(Device->GetFile(remote, LocalFile("keep"), nullptr, nullptr));
    EXPECT_EQ(Device->LastError, std::string("File not found: ") + remote);
    EXPECT_EQ(Stored(LocalFile("keep")), "local content");
  }
  // A local file that cannot be made once the device has begun: an empty file's command has
  // ended by itself; a file with chunks waits for their requests, so it gets a fresh session.
  for (const char* remote : {"/ext/empty.bin", "/ext/f.bin"}) {
    SCOPED_TRACE(remote);
    EXPECT_FALSE(Device->GetFile(remote, Local.Path() + "/no/such/folder", nullptr, nullptr));
    EXPECT_EQ(Device->LastError, "Cannot create local file: " + Local.Path() + "/no/such/folder");
    EXPECT_EQ(List("/ext"), (std::vector<std::string>{"D dir", "F empty.bin 0", "F f.bin 20000"}));
  }
  std::vector<std::string> notes = Transcript().Notes;
  EXPECT_EQ(std::count(notes.begin(), notes.end(), "port opened"), 2);
}

TEST_F(FlipperDevice, AnUploadRemovesWhatTheExistenceTestDidNotJustFindAbsent) {
  // write_chunk appends: only a fresh "no such file" for the same path spares the removal.
  struct {
    const char* Name;
    std::function<void()> Between;  // after the existence test, before the upload
    bool Removes;
  } cases[] = {
      {"right after the test", [] {}, false},
      {"after another command", [&] { List("/ext"); }, true},
      {"after a test of another path",
       [&] {
         int64_t size = 0;
         Device->ProbePath("/ext/other.bin", size);
       },
       true},
  };
  Start();
  ASSERT_TRUE(WriteLocalFile(LocalFile("src"), "new"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    int64_t size = 0;
    ASSERT_EQ(Device->ProbePath("/ext/up.bin", size), TPathState::Absent);
    c.Between();
    const size_t mark = Sent().size();
    ASSERT_TRUE(Device->PutFile(LocalFile("src"), "/ext/up.bin", nullptr, nullptr))
        << Device->LastError;
    EXPECT_EQ(Sent().substr(mark).find("storage remove /ext/up.bin\r") != std::string::npos,
              c.Removes);
    EXPECT_EQ(Stored(Ext("up.bin")), "new");
    ASSERT_TRUE(Device->DeleteFile("/ext/up.bin"));
  }
  // A file the test found there is removed first, so that its old content does not stay.
  ASSERT_TRUE(WriteLocalFile(Ext("up.bin"), "older content"));
  int64_t size = 0;
  ASSERT_EQ(Device->ProbePath("/ext/up.bin", size), TPathState::Exists);
  ASSERT_TRUE(Device->PutFile(LocalFile("src"), "/ext/up.bin", nullptr, nullptr));
  EXPECT_EQ(Stored(Ext("up.bin")), "new");
}

TEST_F(FlipperDevice, AnEmptyUploadTheDeviceNeverAnswersFails) {
  Start({"--slow", "write_chunk:8000"});
  ASSERT_TRUE(WriteLocalFile(LocalFile("empty"), ""));
  EXPECT_FALSE(Device->PutFile(LocalFile("empty"), "/ext/e.bin", nullptr, nullptr));
  EXPECT_NE(Device->LastError.find("write_chunk"), std::string::npos) << Device->LastError;
}

TEST_F(FlipperDevice, AnErrorInTheMiddleOfAnUploadChunkDoesNotLeaveTheLineToChance) {
  // The card fills up in the second chunk: the device stops reading the chunk, and the rest of
  // it reaches the command line as typed input (paced, so that its answers come late).
  Start({"--card-free", "40000", "--rate", "20000"});
  ASSERT_TRUE(WriteLocalFile(Ext("keep.txt"), "k"));
  ASSERT_TRUE(WriteLocalFile(LocalFile("up"), TestPattern(70000)));
  EXPECT_FALSE(Device->PutFile(LocalFile("up"), "/ext/up.bin", nullptr, nullptr));
  EXPECT_NE(Device->LastError.find("internal error"), std::string::npos) << Device->LastError;
  int64_t size = 0;
  EXPECT_TRUE(Device->GetFileSize("/ext/keep.txt", size)) << Device->LastError;
  EXPECT_EQ(size, 1);
}

}  // namespace
