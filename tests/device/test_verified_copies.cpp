// Verified copies on both devices against their simulators: every transfer that ends well is
// checked with the device's own checksum of its file (PortaPack "crc32", Flipper "storage md5"),
// a byte the link changed fails the transfer in either direction, an old PortaPack without "crc32"
// skips the check, and with the check off no checksum command is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "devices/uFlipper.h"
#include "devices/uPortapack.h"
#include "support/DevSim.h"
#include "support/DeviceLogCapture.h"
#include "util/uChecksum.h"

namespace {

namespace fs = std::filesystem;

struct TKind {
  const char* Name;  // the simulator's --device
  bool Flipper;
};
constexpr TKind kPortapack{"portapack", false};
constexpr TKind kFlipper{"flipper", true};
constexpr TKind kBoth[] = {kPortapack, kFlipper};

// One simulated device of a kind and a driver connected to it, with the log lines it wrote.
class TRig {
 public:
  explicit TRig(const TKind& Kind, std::vector<std::string> Extra = {}) : Kind_(Kind) {
    Extra.insert(Extra.end(), {"--transcript", Work.Path() + "/wire.txt"});
    Sim = std::make_unique<TDevSim>(Kind.Name, Card.Path(), Extra);
    if (!Sim->Ok()) return;
    if (Kind.Flipper)
      Device.reset(new TFlipperDevice(Sim->PortName()));
    else
      Device.reset(new TPortapackDevice(Sim->PortName()));
    Device->Connect();
  }
  bool Ok() const { return Sim->Ok() && Device && Device->IsConnected(); }

  // The device's path of a file, the file in the simulator's storage, a local file.
  std::string Remote(const std::string& Name) const {
    return (Kind_.Flipper ? "/ext/" : "/") + Name;
  }
  std::string Stored(const std::string& Name) const {
    return Card.Path() + (Kind_.Flipper ? "/ext/" : "/") + Name;
  }
  std::string Local(const std::string& Name) const { return Work.Path() + "/" + Name; }
  // Everything the device has read from the driver so far.
  std::string Sent() const {
    TTranscriptData data;
    EXPECT_TRUE(ReadTranscript(Work.Path() + "/wire.txt", data));
    return data.FromHost;
  }
  // The device's checksum command, its algorithm's name, and the checksum of Data as it prints it.
  const char* Command() const { return Kind_.Flipper ? "storage md5 " : "crc32 "; }
  const char* Algorithm() const { return Kind_.Flipper ? "MD5" : "CRC32"; }
  std::string Checksum(const std::string& Data) const {
    if (Kind_.Flipper) {
      TMd5 md5;
      md5.Update(Data);
      return md5.HexDigest();
    }
    TCrc32Bzip2 crc;
    crc.Update(Data);
    return Crc32Text(crc.Value());
  }
  size_t LogLines(const std::string& Part) const {
    return static_cast<size_t>(std::count_if(
        Log.Lines.begin(), Log.Lines.end(),
        [&](const std::string& Line) { return Line.find(Part) != std::string::npos; }));
  }
  std::string Read(const std::string& Path) const {
    std::string bytes;
    return ReadLocalFile(Path, bytes) ? bytes : "<missing>";
  }

  TScratchDir Card;
  TScratchDir Work;
  std::unique_ptr<TDevSim> Sim;
  TShellDevicePtr Device;
  TDeviceLogCapture Log;

 private:
  TKind Kind_;
};

std::string Flipped(std::string Data, size_t At) {
  Data[At] = static_cast<char>(~static_cast<unsigned char>(Data[At]));
  return Data;
}

// Each size, up and down, is checked once with the device's checksum command, and the device's
// answer is the checksum of the file's bytes.
TEST(VerifiedCopies, EveryTransferIsCheckedWithTheDevicesChecksum) {
  for (const TKind& kind : kBoth) {
    SCOPED_TRACE(kind.Name);
    TRig rig(kind);
    ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
    TShellDevice& device = *rig.Device;
    for (size_t size : {0, 1, 511, 512, 513, 8192, 8193, 32768, 32769, 70000, 1048576}) {
      SCOPED_TRACE(size);
      const std::string data = TestPattern(size, static_cast<uint32_t>(size) + 5);
      const std::string name = "s" + std::to_string(size) + ".bin";
      const std::string verified =
          "verified " + rig.Remote(name) + ": " + rig.Algorithm() + " " + rig.Checksum(data);
      ASSERT_TRUE(WriteLocalFile(rig.Local("up"), data));
      ASSERT_TRUE(device.PutFile(rig.Local("up"), rig.Remote(name), nullptr, nullptr))
          << device.LastError;
      ASSERT_TRUE(device.GetFile(rig.Remote(name), rig.Local("down"), nullptr, nullptr))
          << device.LastError;
      EXPECT_TRUE(rig.Read(rig.Stored(name)) == data);
      EXPECT_TRUE(rig.Read(rig.Local("down")) == data);
      EXPECT_EQ(CountOf(rig.Sent(), rig.Command() + rig.Remote(name) + "\r"), 2u);
      EXPECT_EQ(rig.LogLines(verified), 2u) << verified;
    }
  }
}

// A byte the link inverted fails the transfer in either direction: a download keeps no local
// file, an upload leaves the device's copy (as any failed upload does) and says that it differs.
// The text names the file and both checksums. The next transfer goes through.
TEST(VerifiedCopies, AFlippedPayloadByteFailsTheTransfer) {
  const std::string data = TestPattern(70000, 9);
  const std::string changed = Flipped(data, 40000);
  for (const TKind& kind : kBoth) {
    SCOPED_TRACE(kind.Name);
    {
      TRig rig(kind, {"--flip-byte", "40000"});
      ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
      ASSERT_TRUE(WriteLocalFile(rig.Stored("f.bin"), data));
      EXPECT_FALSE(rig.Device->GetFile(rig.Remote("f.bin"), rig.Local("down"), nullptr, nullptr));
      EXPECT_EQ(rig.Device->LastError,
                "The copy of " + rig.Remote("f.bin") + " differs from the file on the device (" +
                    rig.Algorithm() + " on the device " + rig.Checksum(data) + ", of the copy " +
                    rig.Checksum(changed) + "); it was not kept");
      EXPECT_FALSE(fs::exists(rig.Local("down")));
      EXPECT_TRUE(rig.Device->GetFile(rig.Remote("f.bin"), rig.Local("down"), nullptr, nullptr))
          << rig.Device->LastError;
      EXPECT_TRUE(rig.Read(rig.Local("down")) == data);
    }
    {
      TRig rig(kind, {"--flip-byte", "40000"});
      ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
      ASSERT_TRUE(WriteLocalFile(rig.Local("up"), data));
      EXPECT_FALSE(rig.Device->PutFile(rig.Local("up"), rig.Remote("u.bin"), nullptr, nullptr));
      EXPECT_EQ(rig.Device->LastError,
                "The copy on the device differs from the local file: " + rig.Remote("u.bin") +
                    " has " + rig.Algorithm() + " " + rig.Checksum(changed) +
                    " on the device, the local file " + rig.Checksum(data));
      EXPECT_TRUE(rig.Read(rig.Stored("u.bin")) == changed);
      EXPECT_TRUE(rig.Device->PutFile(rig.Local("up"), rig.Remote("u.bin"), nullptr, nullptr))
          << rig.Device->LastError;
      EXPECT_TRUE(rig.Read(rig.Stored("u.bin")) == data);
    }
  }
}

// Firmware before Mayhem 2.0.1 answers "crc32 ?": the copies are OK unchecked, the device is asked
// once per connection, and one detail line per connection says so.
TEST(VerifiedCopies, AnOldPortapackWithoutCrc32SkipsTheCheck) {
  TRig rig(kPortapack, {"--without", "crc32"});
  ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
  const std::string line = "portapack: this firmware has no crc32 command";
  ASSERT_TRUE(WriteLocalFile(rig.Local("up"), "data"));
  for (int connection = 1; connection <= 2; ++connection) {
    SCOPED_TRACE(connection);
    EXPECT_TRUE(rig.Device->PutFile(rig.Local("up"), "/a.bin", nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_TRUE(rig.Device->GetFile("/a.bin", rig.Local("down"), nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_TRUE(rig.Device->PutFile(rig.Local("up"), "/b.bin", nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_EQ(rig.Read(rig.Local("down")), "data");
    EXPECT_EQ(rig.LogLines(line), static_cast<size_t>(connection));
    EXPECT_EQ(CountOf(rig.Sent(), "crc32 "), static_cast<size_t>(connection));
    rig.Device->Disconnect();
    ASSERT_TRUE(rig.Device->Connect());
  }
}

// Verify=0: no checksum command at all, so a changed byte goes unnoticed (what the check costs
// is what it saves).
TEST(VerifiedCopies, TurnedOffNoChecksumIsAsked) {
  const std::string data = TestPattern(5000, 4);
  for (const TKind& kind : kBoth) {
    SCOPED_TRACE(kind.Name);
    TRig rig(kind, {"--flip-byte", "100", "--flip-byte", "5100"});
    ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
    rig.Device->Settings.Verify = false;
    ASSERT_TRUE(WriteLocalFile(rig.Stored("f.bin"), data));
    ASSERT_TRUE(WriteLocalFile(rig.Local("up"), data));
    EXPECT_TRUE(rig.Device->GetFile(rig.Remote("f.bin"), rig.Local("down"), nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_TRUE(rig.Device->PutFile(rig.Local("up"), rig.Remote("u.bin"), nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_TRUE(rig.Read(rig.Local("down")) == Flipped(data, 100));
    EXPECT_TRUE(rig.Read(rig.Stored("u.bin")) == Flipped(data, 100));
    EXPECT_EQ(rig.Sent().find(rig.Command()), std::string::npos);
  }
}

// A checksum that cannot be had fails the copy (it is not known to be right): the device's error
// answer, and a device that takes longer than the wait for a file of that size. The wait grows
// with the file: the same slow answer is waited out for a large one.
TEST(VerifiedCopies, ACheckThatCannotBeMadeFailsTheCopy) {
  for (const TKind& kind : kBoth) {
    SCOPED_TRACE(kind.Name);
    const std::string command = kind.Flipper ? "md5" : "crc32";
    {
      TRig rig(kind, {"--error", command});
      ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
      ASSERT_TRUE(WriteLocalFile(rig.Stored("f.bin"), "data"));
      EXPECT_FALSE(rig.Device->GetFile(rig.Remote("f.bin"), rig.Local("down"), nullptr, nullptr));
      EXPECT_EQ(rig.Device->LastError,
                "Cannot verify the copy of " + rig.Remote("f.bin") + ": " +
                    (kind.Flipper ? "Storage error: internal error"
                                  : "Error calling delete_file: 1 disk error"));
      EXPECT_FALSE(fs::exists(rig.Local("down")));
    }
    // 4.5 s: longer than the 3 s a small file's checksum is waited for, shorter than the wait for
    // 1 MiB (16 s more).
    TRig rig(kind, {"--slow", command + ":4500"});
    ASSERT_TRUE(rig.Ok()) << rig.Sim->Error();
    ASSERT_TRUE(WriteLocalFile(rig.Stored("small.bin"), "data"));
    ASSERT_TRUE(WriteLocalFile(rig.Stored("large.bin"), TestPattern(1048576)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(
        rig.Device->GetFile(rig.Remote("small.bin"), rig.Local("small"), nullptr, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(
        rig.Device->LastError.rfind("Cannot verify the copy of " + rig.Remote("small.bin"), 0), 0u)
        << rig.Device->LastError;
    EXPECT_FALSE(fs::exists(rig.Local("small")));
    EXPECT_TRUE(rig.Device->GetFile(rig.Remote("large.bin"), rig.Local("large"), nullptr, nullptr))
        << rig.Device->LastError;
    EXPECT_TRUE(rig.Read(rig.Local("large")) == TestPattern(1048576));
  }
}

}  // namespace
