// The registry port scan on an in-memory registry that follows the Win32 buffer rules: SERIALCOMM
// order, ghosts, duplicates, the instance search under Enum, string values and USB id parsing,
// with every log line checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/PortDiscovery.h"
#include "serial/uComScan.h"
#include "support/MemoryRegistry.h"

namespace {

using platform::TRegKey;

const std::string kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kUsb = "SYSTEM\\CurrentControlSet\\Enum\\USB";

std::vector<std::string>* gLines = nullptr;
void CaptureLine(const std::string& Line) {
  if (gLines) gLines->push_back(Line);
}

class ComScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gLines = &Lines;
    ComScanLogProc = CaptureLine;
  }
  void TearDown() override {
    ComScanLogProc = nullptr;
    gLines = nullptr;
    // Every key the scan opened is closed again, and only once.
    EXPECT_TRUE(Registry.OpenKeys.empty());
    EXPECT_EQ(Registry.BadCloses, 0);
  }

  // An instance under Enum with its port, friendly name and hardware ids.
  void AddInstance(const std::string& Path, const std::string& Port, const std::string& Friendly,
                   const std::string& HardwareId) {
    Registry.SetString(Path + "\\Device Parameters", "PortName", Port);
    Registry.SetString(Path, "FriendlyName", Friendly);
    Registry.SetMultiString(Path, "HardwareID", {HardwareId, "USB\\COMPAT"});
  }
  TComPortInfos Scan(const TPortFilter& ProbeOnly = nullptr) {
    return EnumerateComPortsFrom(
        Registry,
        [this](const std::string& Port) {
          ++Probes[Port];
          return Ghosts.count(Port) == 0;
        },
        ProbeOnly);
  }
  static std::vector<std::string> Names(const TComPortInfos& Ports) {
    std::vector<std::string> names;
    for (const TComPortInfo& p : Ports) names.push_back(p.PortName);
    return names;
  }
  bool Logged(const std::string& Line) const {
    return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
  }

  TMemoryRegistry Registry;
  std::set<std::string> Ghosts;
  std::map<std::string, int> Probes;
  std::vector<std::string> Lines;
};

// Whether a port exists, as a remembered folder name asks it: from SERIALCOMM alone, quietly,
// without opening anything.
TEST_F(ComScanTest, APortIsListedWhileSerialCommNamesIt) {
  Registry.SetString(kSerialComm, "\\Device\\USBSER000", "COM5");
  Registry.SetString(kSerialComm, "\\Device\\Serial0", "COM1");
  struct {
    const char* Name;
    bool Listed;
  } cases[] = {{"COM5", true}, {"com1", true}, {"COM9", false}, {"COM", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(IsPortListedIn(Registry, c.Name), c.Listed) << c.Name;
  EXPECT_TRUE(Probes.empty());
  EXPECT_TRUE(Lines.empty());
  TMemoryRegistry empty;
  EXPECT_FALSE(IsPortListedIn(empty, "COM5"));
}

TEST_F(ComScanTest, ScanKeepsSerialCommOrderDropsGhostsAndDuplicatesAndLogsEveryStep) {
  Registry.SetString(kSerialComm, "\\Device\\USBSER000", "COM5");
  Registry.SetString(kSerialComm, "\\Device\\Serial0", "COM1");
  Registry.SetString(kSerialComm, "\\Device\\USBSER001", "COM9");
  Registry.SetString(kSerialComm, "\\Device\\Empty", "");
  Registry.SetString(kSerialComm, "\\Device\\USBSER002", "COM5");
  Registry.SetString(kSerialComm, "\\Device\\USBSER003", "com5");
  Ghosts = {"COM9"};
  AddInstance(kUsb + "\\VID_1D50&PID_6018\\0000000000000000a06063c82338145f", "COM5",
              "PortaPack Mayhem (COM5)", "USB\\VID_1d50&PID_6018&REV_0100");

  const TComPortInfos ports = Scan();

  ASSERT_EQ(Names(ports), (std::vector<std::string>{"COM5", "COM1", "com5"}));
  const TComPortInfo& pp = ports[0];
  EXPECT_EQ(pp.FriendlyName, "PortaPack Mayhem (COM5)");
  EXPECT_EQ(pp.HardwareID, "USB\\VID_1d50&PID_6018&REV_0100");  // first string of the multi-string
  EXPECT_EQ(pp.InstanceId, "0000000000000000a06063c82338145f");
  EXPECT_EQ(pp.DeviceKey, kUsb + "\\VID_1D50&PID_6018\\0000000000000000a06063c82338145f");
  EXPECT_EQ(pp.VID, 0x1D50);
  EXPECT_EQ(pp.PID, 0x6018);
  // No instance: the port stays, with nothing but its name.
  EXPECT_EQ(ports[1].FriendlyName, "");
  EXPECT_EQ(ports[1].HardwareID, "");
  EXPECT_EQ(ports[1].InstanceId, "");
  EXPECT_EQ(ports[1].DeviceKey, "");
  EXPECT_EQ(ports[1].VID, 0);
  EXPECT_EQ(ports[1].PID, 0);
  // The instance's PortName matches in any letter case, so com5 finds the same instance.
  EXPECT_EQ(ports[2].InstanceId, "0000000000000000a06063c82338145f");

  const std::vector<std::string> expected = {
      "--- EnumerateComPorts start ---",
      "-> Ghost-Port ignoriert: COM9",
      "SERIALCOMM-Eintraege: 4",
      "-> Port: COM5",
      "   FriendlyName: PortaPack Mayhem (COM5)",
      "   HardwareID:   USB\\VID_1d50&PID_6018&REV_0100",
      "   InstanceId:   0000000000000000a06063c82338145f",
      "   VID/PID:      $1D50/$6018",
      "-> Port: COM1",
      "   (keine Enum-Info gefunden)",
      "-> Port: COM5",
      "   FriendlyName: PortaPack Mayhem (COM5)",
      "   HardwareID:   USB\\VID_1d50&PID_6018&REV_0100",
      "   InstanceId:   0000000000000000a06063c82338145f",
      "   VID/PID:      $1D50/$6018",
      "-> Port: com5",
      "   FriendlyName: PortaPack Mayhem (COM5)",
      "   HardwareID:   USB\\VID_1d50&PID_6018&REV_0100",
      "   InstanceId:   0000000000000000a06063c82338145f",
      "   VID/PID:      $1D50/$6018",
      "-> Duplikat ignoriert: COM5",
      "--- EnumerateComPorts fertig, 3 Ports ---",
  };
  EXPECT_EQ(Lines, expected);
  // The empty value is never probed; every listed port is probed once per listing.
  EXPECT_EQ(Probes.count(""), 0u);
  EXPECT_EQ(Probes["COM9"], 1);
}

TEST_F(ComScanTest, OnlyPortsTheCallerWouldUseAreProbed) {
  for (const char* port : {"COM3", "COM4", "COM5", "COM6"})
    Registry.SetString(kSerialComm, std::string("\\Device\\") + port, port);
  AddInstance(kUsb + "\\VID_1D50&PID_6018\\pp", "COM5", "PortaPack", "USB\\VID_1D50&PID_6018");
  AddInstance(kUsb + "\\VID_1D50&PID_6018\\gone", "COM6", "PortaPack", "USB\\VID_1D50&PID_6018");
  AddInstance(kUsb + "\\VID_0403&PID_6001\\A1", "COM3", "FTDI", "USB\\VID_0403&PID_6001");
  Ghosts = {"COM6", "COM4"};
  const TComPortInfos ports = Scan([](const TComPortInfo& Port) { return Port.VID == 0x1D50; });

  // Untested ports stay, ghosts among them or not; tested ghosts go.
  EXPECT_EQ(Names(ports), (std::vector<std::string>{"COM3", "COM4", "COM5"}));
  EXPECT_EQ(Probes, (std::map<std::string, int>{{"COM5", 1}, {"COM6", 1}}));
  const std::vector<std::string> head = {
      "--- EnumerateComPorts start ---",
      "-> Port nicht geprueft (kein bekanntes Geraet): COM3",
      "-> Port nicht geprueft (kein bekanntes Geraet): COM4",
      "-> Ghost-Port ignoriert: COM6",
      "SERIALCOMM-Eintraege: 3",
      "-> Port: COM3",
  };
  ASSERT_GE(Lines.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(Lines.begin(), Lines.begin() + head.size()), head);
  EXPECT_TRUE(Logged("   (keine Enum-Info gefunden)"));  // COM4
  EXPECT_EQ(Lines.back(), "--- EnumerateComPorts fertig, 3 Ports ---");
}

TEST_F(ComScanTest, MissingSerialCommGivesNothingAndNoEndLine) {
  EXPECT_TRUE(Scan().empty());
  EXPECT_EQ(Lines, (std::vector<std::string>{"--- EnumerateComPorts start ---",
                                             "SERIALCOMM key konnte nicht geoeffnet werden"}));
}

TEST_F(ComScanTest, ValueTooLargeForItsBufferEndsTheScanKeepingEarlierPorts) {
  Registry.SetString(kSerialComm, "\\Device\\A", "COM3");
  // 256 bytes without a terminating zero still fit the data buffer: all of them are the name.
  Registry.SetRaw(kSerialComm, "\\Device\\B", platform::kRegSz, std::string(256, 'X'));
  // A value name of 511 characters fits its 512-character buffer.
  Registry.SetString(kSerialComm, std::string(511, 'n'), "COM4");
  Registry.SetString(kSerialComm, "\\Device\\C", std::string(300, 'Y'));
  Registry.SetString(kSerialComm, "\\Device\\D", "COM6");

  EXPECT_EQ(Names(Scan()), (std::vector<std::string>{"COM3", std::string(256, 'X'), "COM4"}));
  EXPECT_TRUE(Logged("RegEnumValueA Fehler 234"));
  EXPECT_TRUE(Logged("SERIALCOMM-Eintraege: 3"));
  EXPECT_EQ(Lines.back(), "--- EnumerateComPorts fertig, 3 Ports ---");

  // A value name one character longer than the buffer ends the scan the same way.
  Lines.clear();
  TMemoryRegistry& r = Registry;
  r.Root.Children.clear();
  r.Root.ByName.clear();
  r.SetString(kSerialComm, "\\Device\\A", "COM3");
  r.SetString(kSerialComm, std::string(512, 'n'), "COM4");
  EXPECT_EQ(Names(Scan()), (std::vector<std::string>{"COM3"}));
  EXPECT_TRUE(Logged("RegEnumValueA Fehler 234"));
}

TEST_F(ComScanTest, PortIsTheValueDataEvenWhenTheValueNameHoldsEqualsSigns) {
  // Joining name and port as "name=port" and cutting at the first "=" would give "Name=COM7" and
  // "=COM8" here; the port is kept apart from its value name instead.
  Registry.SetString(kSerialComm, "\\Device\\Odd=Name", "COM7");
  Registry.SetString(kSerialComm, "\\Device\\x=", "COM8");
  // Data is read up to its first zero byte, and a string stored without one is taken whole.
  Registry.SetRaw(kSerialComm, "\\Device\\Z", platform::kRegSz, std::string("COM6\0junk", 9));
  Registry.SetRaw(kSerialComm, "\\Device\\W", platform::kRegSz, "COM2");
  EXPECT_EQ(Names(Scan()), (std::vector<std::string>{"COM7", "COM8", "COM6", "COM2"}));
  EXPECT_TRUE(Logged("-> Port: COM7"));
  EXPECT_TRUE(Logged("-> Port: COM8"));
}

TEST_F(ComScanTest, FriendlyNameFallsBackToDeviceDescOnlyWhenMissing) {
  const std::string base = kUsb + "\\VID_0483&PID_5740\\";
  // Present but empty: stays empty, DeviceDesc is not used.
  Registry.SetString(base + "A\\Device Parameters", "PortName", "COM1");
  Registry.SetString(base + "A", "FriendlyName", "");
  Registry.SetString(base + "A", "DeviceDesc", "should not be read");
  // Missing: DeviceDesc.
  Registry.SetString(base + "B\\Device Parameters", "PortName", "COM2");
  Registry.SetString(base + "B", "DeviceDesc", "USB Serial Device");
  // Neither a string type nor a size: not a string, so DeviceDesc; an expandable string is taken
  // as it stands.
  Registry.SetRaw(base + "C\\Device Parameters", "PortName", platform::kRegExpandSz,
                  std::string("COM3\0", 5));
  Registry.SetRaw(base + "C", "FriendlyName", platform::kRegBinary, "bin");
  Registry.SetString(base + "C", "DeviceDesc", "%SystemRoot%\\x", platform::kRegExpandSz);
  Registry.SetRaw(base + "D\\Device Parameters", "PortName", platform::kRegSz, "COM4");
  Registry.SetRaw(base + "D", "FriendlyName", platform::kRegSz, "");
  Registry.SetString(base + "D", "DeviceDesc", "desc of D");
  // A PortName of another type never matches.
  Registry.SetRaw(base + "E\\Device Parameters", "PortName", platform::kRegDword, "COM5");

  std::string friendly, hardware, instance, key;
  auto find = [&](const std::string& port) {
    return FindPortInEnum(Registry, kUsb, port, 0, friendly, hardware, instance, key);
  };
  ASSERT_TRUE(find("COM1"));
  EXPECT_EQ(friendly, "");
  ASSERT_TRUE(find("COM2"));
  EXPECT_EQ(friendly, "USB Serial Device");
  EXPECT_EQ(hardware, "");
  ASSERT_TRUE(find("COM3"));
  EXPECT_EQ(friendly, "%SystemRoot%\\x");
  // A zero-size string value counts as missing.
  ASSERT_TRUE(find("COM4"));
  EXPECT_EQ(friendly, "desc of D");
  EXPECT_FALSE(find("COM5"));
  EXPECT_EQ(friendly + hardware + instance + key, "");
}

TEST_F(ComScanTest, InstanceSearchHonoursRootOrderDepthLimitAndUnopenableKeys) {
  const std::string enumRoot = "SYSTEM\\CurrentControlSet\\Enum";
  // Found under ACPI (walked first within Enum) and under FTDIBUS: the FTDIBUS root is tried
  // before the whole Enum tree, so FTDIBUS wins.
  AddInstance(enumRoot + "\\ACPI\\PNP0501\\1", "COM7", "ACPI port", "ACPI\\PNP0501");
  AddInstance(enumRoot + "\\FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "COM7", "FTDI",
              "FTDIBUS\\COMPORT&VID_0403&PID_6001");
  // Eight levels below the USB root is the deepest instance found; nine is too deep from every
  // root, as the USB root itself lies one level below Enum.
  std::string deep8 = kUsb, deep9 = kUsb;
  for (int i = 1; i <= 8; ++i) deep8 += "\\L" + std::to_string(i);
  for (int i = 1; i <= 9; ++i) deep9 += "\\M" + std::to_string(i);
  AddInstance(deep8, "COM8", "deep", "USB\\VID_1D50&PID_6089");
  AddInstance(deep9, "COM9", "too deep", "USB\\VID_1D50&PID_6089");
  // The instance key refuses to open: the match stands, without friendly name or hardware id.
  AddInstance(kUsb + "\\VID_0483&PID_5740\\flip_Test1", "COM4", "Flipper", "USB\\VID_0483");
  Registry.Deny(kUsb + "\\VID_0483&PID_5740\\flip_Test1");
  for (const char* port : {"COM7", "COM8", "COM9", "COM4"})
    Registry.SetString(kSerialComm, std::string("\\Device\\") + port, port);

  const TComPortInfos ports = Scan();
  ASSERT_EQ(Names(ports), (std::vector<std::string>{"COM7", "COM8", "COM9", "COM4"}));
  EXPECT_EQ(ports[0].FriendlyName, "FTDI");
  EXPECT_EQ(ports[0].InstanceId, "0000");
  EXPECT_EQ(ports[0].VID, 0x0403);
  EXPECT_EQ(ports[0].PID, 0x6001);
  EXPECT_EQ(ports[1].DeviceKey, deep8);
  EXPECT_EQ(ports[1].InstanceId, "L8");
  EXPECT_EQ(ports[2].DeviceKey, "");
  EXPECT_EQ(ports[3].DeviceKey, kUsb + "\\VID_0483&PID_5740\\flip_Test1");
  EXPECT_EQ(ports[3].InstanceId, "flip_Test1");
  EXPECT_EQ(ports[3].FriendlyName, "");
  EXPECT_EQ(ports[3].HardwareID, "");
  EXPECT_EQ(ports[3].VID, 0);
  // The search never holds an ancestor open while it descends: at most the Device Parameters key
  // and its instance key are open together.
  EXPECT_LE(Registry.PeakOpen, 2u);

  // A key path without a backslash is its own instance id.
  std::string friendly, hardware, instance, key;
  Registry.SetString("Solo\\Device Parameters", "PortName", "COM2");
  ASSERT_TRUE(FindPortInEnum(Registry, "Solo", "com2", 0, friendly, hardware, instance, key));
  EXPECT_EQ(instance, "Solo");
  EXPECT_EQ(key, "Solo");
  // Starting deeper than the limit finds nothing even at the key itself.
  EXPECT_FALSE(FindPortInEnum(Registry, "Solo", "COM2", 9, friendly, hardware, instance, key));
}

TEST(ComScanParse, VidPidNeedsExactlyFourHexDigitsAfterEachTag) {
  struct {
    const char* Id;
    uint16_t Vid, Pid;
  } cases[] = {
      {"USB\\VID_1d50&PID_6018&REV_0100", 0x1D50, 0x6018},
      {"USB\\VID_0483&PID_5740", 0x0483, 0x5740},
      {"USB\\VID_12345&PID_0001", 0, 0x0001},
      {"USB\\VID_1D5&PID_6018", 0, 0x6018},
      {"usb\\vid_1d50&pid_6089", 0x1D50, 0x6089},
      {"FTDIBUS\\COMPORT&VID_0403&PID_6001", 0x0403, 0x6001},
      {"USB\\VID_GGGG&PID_", 0, 0},
      {"VID_", 0, 0},
      {"", 0, 0},
      // Only the first "VID_" counts, even when a later one would parse.
      {"VID_12&VID_1D50", 0, 0},
  };
  for (const auto& c : cases) {
    uint16_t vid = 1, pid = 1;
    const bool any = ParseVidPid(c.Id, vid, pid);
    EXPECT_EQ(vid, c.Vid) << c.Id;
    EXPECT_EQ(pid, c.Pid) << c.Id;
    EXPECT_EQ(any, c.Vid != 0 || c.Pid != 0) << c.Id;
  }
}

TEST(ComScanParse, ParseHexTakesBothCasesAndRejectsAnythingElse) {
  EXPECT_EQ(ParseHex("", 7), 7u);
  EXPECT_EQ(ParseHex("1d50", 0), 0x1D50u);
  EXPECT_EQ(ParseHex("ABCDEF", 0), 0xABCDEFu);
  EXPECT_EQ(ParseHex("12G4", 9), 9u);
  EXPECT_EQ(ParseHex(" 12", 9), 9u);
  // Longer texts wrap instead of overflowing a signed value.
  EXPECT_EQ(ParseHex("123456789", 0), 0x23456789u);
}

// A backend that reports more than it was given room for must not make the scan read past its
// buffers (AddressSanitizer watches this test).
class TOverreportingRegistry : public TMemoryRegistry {
 public:
  int32_t EnumValue(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength, uint32_t& Type,
                    uint8_t* Data, uint32_t& DataSize) override {
    const int32_t rc =
        TMemoryRegistry::EnumValue(Key, Index, Name, NameLength, Type, Data, DataSize);
    if (rc == platform::kRegSuccess) NameLength = DataSize = 100000;
    return rc;
  }
  int32_t EnumKey(TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength) override {
    const int32_t rc = TMemoryRegistry::EnumKey(Key, Index, Name, NameLength);
    if (rc == platform::kRegSuccess) NameLength = 100000;
    return rc;
  }
  int32_t QueryValue(TRegKey Key, const std::string& ValueName, uint32_t& Type, uint8_t* Data,
                     uint32_t& DataSize) override {
    const int32_t rc = TMemoryRegistry::QueryValue(Key, ValueName, Type, Data, DataSize);
    if (rc == platform::kRegSuccess) {
      if (Data)
        DataSize += 100000;
      else if (HugeSizeQuery)
        DataSize = 0xFFFFFFFFu;
    }
    return rc;
  }
  bool HugeSizeQuery = false;
};

TEST(ComScanRobustness, OverreportedSizesAreNeverTrusted) {
  TOverreportingRegistry registry;
  registry.SetString(kSerialComm, "\\Device\\A", "COM3");
  registry.SetString(kUsb + "\\X\\Device Parameters", "PortName", "COM3");
  const TComPortInfos ports =
      EnumerateComPortsFrom(registry, [](const std::string&) { return true; });
  ASSERT_EQ(ports.size(), 1u);
  // The claimed sizes are clamped to the buffers and names end at their zero byte.
  EXPECT_EQ(ports[0].PortName, "COM3");
  EXPECT_EQ(ports[0].DeviceKey, kUsb + "\\X");

  // A size with no room for the two terminating zeros reads as a missing value, unallocated.
  registry.HugeSizeQuery = true;
  const TComPortInfos again =
      EnumerateComPortsFrom(registry, [](const std::string&) { return true; });
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].DeviceKey, "");
  EXPECT_TRUE(registry.OpenKeys.empty());
}

TEST(ComScanRobustness, LongStringValuesAndOddNamesAreCarriedThrough) {
  TMemoryRegistry registry;
  const std::string longName(100000, 'F');
  registry.SetString(kSerialComm, "\\Device\\A", "COM3");
  registry.SetString(kUsb + "\\X\\Device Parameters", "PortName", "COM3");
  registry.SetString(kUsb + "\\X", "FriendlyName", longName);
  registry.SetRaw(kUsb + "\\X", "HardwareID", platform::kRegMultiSz, "");  // size 0: missing
  const TComPortInfos ports =
      EnumerateComPortsFrom(registry, [](const std::string&) { return true; });
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].FriendlyName, longName);
  EXPECT_EQ(ports[0].HardwareID, "");
  // Without a presence test every port counts as a ghost rather than crashing.
  EXPECT_TRUE(EnumerateComPortsFrom(registry, nullptr).empty());
}

}  // namespace
