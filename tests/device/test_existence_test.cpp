// The host's existence test before an upload or a rename, through the plug-in's file operations
// and a registry whose one device is a driver on a simulator: only the device's own "no such
// file" lets a write go ahead without asking; any other failure of the test fails the operation.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devices/uFlipper.h"
#include "devices/uPortapack.h"
#include "platform/wfxplugin.h"
#include "plugin/uFileOperations.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"
#include "support/DevSim.h"

namespace {

// The simulator behind the one port the registry sees.
std::string gSimPort;
bool gFlipper = false;

TComPortInfos OnePort(const TPortFilter& /*ProbeOnly*/) {
  TComPortInfo port;
  port.PortName = "COM5";
  port.VID = gFlipper ? 0x0483 : 0x1D50;
  port.PID = gFlipper ? 0x5740 : 0x6018;
  return {port};
}

TShellDevicePtr SimDevice(const std::string&, const std::string&, uint16_t, uint16_t) {
  if (gFlipper) return TShellDevicePtr(new TFlipperDevice(gSimPort));
  return TShellDevicePtr(new TPortapackDevice(gSimPort));
}

class ExistenceTest : public ::testing::Test {
 protected:
  void Start(bool Flipper, const std::vector<std::string>& Extra) {
    gFlipper = Flipper;
    Sim = std::make_unique<TDevSim>(Flipper ? "flipper" : "portapack", Card.Path(), Extra);
    ASSERT_TRUE(Sim->Ok()) << Sim->Error();
    gSimPort = Sim->PortName();
    SetPortEnumerator(OnePort);
    SetDeviceFactory(SimDevice);
    DeviceCacheStartup();
    Started = true;
    ListRoot();
    Folder = Flipper ? "\\Flipper Zero (COM5)\\ext\\" : "\\PortaPack (COM5)\\";
    Files = Card.Path() + (Flipper ? "/ext/" : "/");
  }
  void TearDown() override {
    if (!Started) return;
    Started = false;
    DeviceCacheShutdown();
    SetDeviceFactory(nullptr);
    SetPortEnumerator(nullptr);
  }
  std::string OnCard(const std::string& Name) {
    std::string bytes;
    return ReadLocalFile(Files + Name, bytes) ? bytes : "<missing>";
  }

  TScratchDir Card;
  TScratchDir Work;
  std::unique_ptr<TDevSim> Sim;
  std::string Folder;
  std::string Files;
  bool Started = false;
};

TEST_F(ExistenceTest, ATestThatCannotTellStopsTheWrite) {
  struct {
    bool Flipper;
    std::vector<std::string> Fault;
  } cases[] = {
      {false, {"--error", "filesize"}},      // a refused size query
      {false, {"--slow", "filesize:4000"}},  // an answer later than its wait
      {true, {"--error", "stat"}},           // "Storage error: internal error"
      {true, {"--slow", "stat:4000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Fault[0] + " " + c.Fault[1]);
    Start(c.Flipper, c.Fault);
    if (c.Flipper) {
      ASSERT_TRUE(WriteLocalFile(Card.Path() + "/ext/.keep", ""));
    }
    ASSERT_TRUE(WriteLocalFile(Files + "keep.txt", "old"));
    ASSERT_TRUE(WriteLocalFile(Files + "other.txt", "other"));
    const std::string local = Work.Path() + "/new.txt";
    ASSERT_TRUE(WriteLocalFile(local, "new"));
    EXPECT_EQ(PutFileOperation(local, Folder + "keep.txt", 0), FS_FILE_WRITEERROR);
    EXPECT_EQ(OnCard("keep.txt"), "old");
    EXPECT_EQ(RenMovFileOperation(Folder + "other.txt", Folder + "keep.txt", false),
              FS_FILE_WRITEERROR);
    EXPECT_EQ(OnCard("keep.txt"), "old");
    EXPECT_EQ(OnCard("other.txt"), "other");
    TearDown();
    Sim.reset();
  }
}

TEST_F(ExistenceTest, OnlyTheDevicesNoSuchFileLetsTheWriteGoAhead) {
  for (bool flipper : {false, true}) {
    SCOPED_TRACE(flipper ? "flipper" : "portapack");
    Start(flipper, {});
    if (flipper) {
      ASSERT_TRUE(WriteLocalFile(Card.Path() + "/ext/.keep", ""));
    }
    ASSERT_TRUE(WriteLocalFile(Files + "keep.txt", "old"));
    const std::string local = Work.Path() + "/new.txt";
    ASSERT_TRUE(WriteLocalFile(local, "new"));
    EXPECT_EQ(PutFileOperation(local, Folder + "keep.txt", 0), FS_FILE_EXISTS);
    EXPECT_EQ(PutFileOperation(local, Folder + "fresh.txt", 0), FS_FILE_OK);
    EXPECT_EQ(OnCard("fresh.txt"), "new");
    EXPECT_EQ(RenMovFileOperation(Folder + "fresh.txt", Folder + "keep.txt", false),
              FS_FILE_EXISTS);
    EXPECT_EQ(RenMovFileOperation(Folder + "fresh.txt", Folder + "moved.txt", false), FS_FILE_OK);
    EXPECT_EQ(OnCard("moved.txt"), "new");
    TearDown();
    Sim.reset();
  }
}

TEST_F(ExistenceTest, AnUploadAsksTheDeviceNothingTwice) {
  // Everything typed for a new file after the host's existence test, and for a longer file that
  // the host says to overwrite (without an existence test). A new file needs no removal (Flipper:
  // write_chunk appends) and no rewind or truncation (PortaPack: fopen makes it empty). The
  // device's checksum of the copy comes last.
  struct {
    bool Flipper;
    const char* NewFile;
    const char* Overwrite;
  } cases[] = {
      {false, "filesize /fresh.txt\r\nfopen /fresh.txt\r\nfwb 3\rnewfclose\r\ncrc32 /fresh.txt\r\n",
       "filesize /keep.txt\r\nfopen /keep.txt\r\nfseek 0\r\nftruncate\r\nfwb 3\rnewfclose\r\n"
       "crc32 /keep.txt\r\n"},
      {true,
       "storage stat /ext/fresh.txt\rstorage write_chunk /ext/fresh.txt 3\rnew"
       "storage md5 /ext/fresh.txt\r",
       "storage remove /ext/keep.txt\rstorage write_chunk /ext/keep.txt 3\rnew"
       "storage md5 /ext/keep.txt\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Flipper ? "flipper" : "portapack");
    const std::string transcript = Work.Path() + "/wire.txt";
    Start(c.Flipper, {"--transcript", transcript});
    ASSERT_TRUE(WriteLocalFile(Files + "keep.txt", "older and longer"));
    const std::string local = Work.Path() + "/new.txt";
    ASSERT_TRUE(WriteLocalFile(local, "new"));
    // Connected first, so that only the uploads' lines are compared.
    ASSERT_TRUE(GetDevice(Folder.substr(1, Folder.find('\\', 1) - 1)));
    TTranscriptData wire;
    ASSERT_TRUE(ReadTranscript(transcript, wire));
    size_t mark = wire.FromHost.size();
    EXPECT_EQ(PutFileOperation(local, Folder + "fresh.txt", 0), FS_FILE_OK);
    ASSERT_TRUE(ReadTranscript(transcript, wire));
    EXPECT_EQ(wire.FromHost.substr(mark), c.NewFile);
    mark = wire.FromHost.size();
    EXPECT_EQ(PutFileOperation(local, Folder + "keep.txt", FS_COPYFLAGS_OVERWRITE), FS_FILE_OK);
    ASSERT_TRUE(ReadTranscript(transcript, wire));
    EXPECT_EQ(wire.FromHost.substr(mark), c.Overwrite);
    EXPECT_EQ(OnCard("fresh.txt"), "new");
    EXPECT_EQ(OnCard("keep.txt"), "new");
    TearDown();
    Sim.reset();
    std::remove(transcript.c_str());
  }
}

}  // namespace
