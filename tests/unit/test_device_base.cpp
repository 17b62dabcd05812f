// The shell device base: remote path normalising, the progress callback convention and the
// life-cycle rules (an override of Disconnect runs before the port goes; the port is closed).
#include <gtest/gtest.h>

#include <memory>

#include "devices/uDeviceBase.h"
#include "support/PtyPeer.h"
#include "support/StubDevice.h"

namespace {

TEST(NormalizeRemotePath, SeparatorsRootAndRuns) {
  struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"", "/"},
      {"\\", "/"},
      {"/", "/"},
      {"\\APPS\\", "/APPS"},
      {"APPS\\x.txt", "/APPS/x.txt"},
      {"//a///b//", "/a/b"},
      {"\\\\/\\", "/"},
      {"a\\/b", "/a/b"},
      {"/ext/apps/Sub GHz/file.sub", "/ext/apps/Sub GHz/file.sub"},
      {"/ a /", "/ a "},   // blanks are part of names
      {"..\\x", "/../x"},  // no dot handling: the device resolves names
  };
  for (const auto& c : cases) EXPECT_EQ(TShellDevice::NormalizeRemotePath(c.In), c.Out) << c.In;
}

TEST(UnsafePathReason, ControlCharactersAreRefusedEverythingElsePasses) {
  for (int byte = 0; byte < 256; ++byte) {
    std::string path = "/ext/a" + std::string(1, static_cast<char>(byte)) + "b";
    bool control = byte < 32 || byte == 127;
    std::string reason = TShellDevice::UnsafePathReason(path);
    EXPECT_EQ(reason.empty(), !control) << byte;
    if (control) {
      EXPECT_NE(reason.find("(byte " + std::to_string(byte) + ")"), std::string::npos);
    }
  }
  EXPECT_EQ(TShellDevice::UnsafePathReason(""), "");
  EXPECT_EQ(TShellDevice::UnsafePathReason("/My Garage.sub"), "");
}

// A device that records Disconnect calls and opens its port on Connect.
class TRecordingDevice : public TStubDevice {
 public:
  TRecordingDevice(const std::string& Port, int* Disconnects, bool* PortOpenAtDisconnect)
      : TStubDevice(Port), Disconnects_(Disconnects), PortOpenAtDisconnect_(PortOpenAtDisconnect) {}
  bool Connect() override {
    if (!SerialPort.Open(PortName, 115200)) {
      LastError = "Cannot open " + PortName;
      return false;
    }
    Title = "Recorder on " + PortName;
    return true;
  }
  void Disconnect() override {
    ++*Disconnects_;
    if (SerialPort.IsOpen()) {
      *PortOpenAtDisconnect_ = true;
      SerialPort.WriteStr("bye\r\n");  // an override may still talk to the device
    }
    TShellDevice::Disconnect();
  }
  bool GetFile(const std::string&, const std::string&, const TTransferProgress& OnProgress,
               void* ProgressData) override {
    for (int64_t done = 0; done <= 300; done += 100) {
      if (!ReportProgress(OnProgress, ProgressData, done, 300)) {
        LastError = "User abort";
        return false;
      }
    }
    return true;
  }

  bool PortIsOpen() const { return SerialPort.IsOpen(); }

 private:
  int* Disconnects_;
  bool* PortOpenAtDisconnect_;
};

TEST(ShellDevice, FreshDeviceIsUnconnectedAndDestroysQuietly) {
  int disconnects = 0;
  bool portOpen = false;
  {
    TShellDevicePtr device(new TRecordingDevice("COM5", &disconnects, &portOpen));
    EXPECT_EQ(device->PortName, "COM5");
    EXPECT_EQ(device->Title, "");
    EXPECT_EQ(device->Version, "");
    EXPECT_EQ(device->LastError, "");
    device->Disconnect();  // harmless when never connected, and repeatable
    device->Disconnect();
  }
  EXPECT_FALSE(portOpen);
  EXPECT_EQ(disconnects, 3);  // two by hand, one by the owner's pointer
}

TEST(ShellDevice, DestroyingAConnectedDeviceRunsTheOverrideAndClosesThePort) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  int disconnects = 0;
  bool portOpen = false;
  {
    // Through the owner's pointer type, as the registry frees devices.
    TShellDevicePtr device(new TRecordingDevice(peer.PortName(), &disconnects, &portOpen));
    ASSERT_TRUE(device->Connect());
    EXPECT_EQ(device->Title, "Recorder on " + peer.PortName());
  }
  EXPECT_TRUE(portOpen);
  EXPECT_EQ(peer.Receive(5, 5000), "bye\r\n");
  // The port was closed: another opener gets it.
  TSerialPort other;
  EXPECT_TRUE(other.Open(peer.PortName(), 115200));
  other.Close();

  // A device deleted some other way still gives its port back: the base destructor closes it,
  // though only the owner's pointer can run the override.
  disconnects = 0;
  portOpen = false;
  std::unique_ptr<TShellDevice> plain(
      new TRecordingDevice(peer.PortName(), &disconnects, &portOpen));
  ASSERT_TRUE(plain->Connect());
  plain.reset();
  EXPECT_EQ(disconnects, 0);
  EXPECT_TRUE(other.Open(peer.PortName(), 115200));
}

TEST(ShellDevice, ConnectFailureLeavesAReason) {
  int disconnects = 0;
  bool portOpen = false;
  TRecordingDevice device("quarnel-no-such-port", &disconnects, &portOpen);
  EXPECT_FALSE(device.Connect());
  EXPECT_EQ(device.LastError, "Cannot open quarnel-no-such-port");
  EXPECT_FALSE(device.PortIsOpen());
}

TEST(ShellDevice, ProgressCallbackConvention) {
  int disconnects = 0;
  bool portOpen = false;
  TRecordingDevice device("COM5", &disconnects, &portOpen);
  // No callback: no calls, the transfer goes through.
  EXPECT_TRUE(device.GetFile("/a", "a", TTransferProgress(), nullptr));

  // The callback sees the caller's data pointer unchanged; false aborts with "abort" in the text.
  int marker = 0;
  std::vector<int64_t> seen;
  TTransferProgress stopAt200 = [&](void* data, int64_t done, int64_t total) {
    EXPECT_EQ(data, &marker);
    EXPECT_EQ(total, 300);
    seen.push_back(done);
    return done < 200;
  };
  EXPECT_FALSE(device.GetFile("/a", "a", stopAt200, &marker));
  EXPECT_EQ(seen, (std::vector<int64_t>{0, 100, 200}));
  EXPECT_NE(device.LastError.find("abort"), std::string::npos);
}

// The wait for a command that reads a file of the card (a checksum, the Flipper's rename): the
// base time, a second more per 64 KiB, an hour at most, whatever size a device reports.
TEST(ShellDevice, TheWaitForACardPassGrowsWithTheFileUpToAnHour) {
  struct TOpen : TStubDevice {
    using TShellDevice::CardPassWaitMs;
  };
  struct {
    int64_t Bytes;
    uint32_t Ms;
  } cases[] = {
      {-5, 3000},          {0, 3000}, {65535, 3999}, {1048576, 19000}, {4294967295, 3600000},
      {INT64_MAX, 3600000}};
  for (const auto& c : cases) EXPECT_EQ(TOpen::CardPassWaitMs(3000, c.Bytes), c.Ms) << c.Bytes;
}

}  // namespace
