// The Win32 registry backend of the port scan against a real registry (Wine's): the buffer rules
// that the in-memory registry of the unit tests imitates, the 64-bit view from both builds, and a
// whole scan over a SERIALCOMM and Enum tree that the test writes below a key of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/PortDiscovery.h"
#include "serial/uComScan.h"

namespace {

const std::string kTestParent = "SOFTWARE\\QuarnelScanTest";

// Writes below HKLM\SOFTWARE\QuarnelScanTest\<pid> in the 64-bit view and removes it again.
class TTestKeys {
 public:
  TTestKeys() : Root(kTestParent + "\\" + std::to_string(GetCurrentProcessId())) {}
  ~TTestKeys() {
    HKEY parent = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTestParent.c_str(), 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      &parent) == ERROR_SUCCESS) {
      RegDeleteTreeA(parent, std::to_string(GetCurrentProcessId()).c_str());
      RegCloseKey(parent);
    }
  }
  void Set(const std::string& Path, const std::string& Name, DWORD Type, const std::string& Data) {
    HKEY key = nullptr;
    const std::string full = Path.empty() ? Root : Root + "\\" + Path;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << full;
    ASSERT_EQ(RegSetValueExA(key, Name.c_str(), 0, Type, reinterpret_cast<const BYTE*>(Data.data()),
                             static_cast<DWORD>(Data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetString(const std::string& Path, const std::string& Name, const std::string& Text) {
    Set(Path, Name, REG_SZ, Text + std::string(1, '\0'));
  }
  const std::string Root;
};

// Maps every path the scan opens below the test's own key, so that the real backend serves a
// SERIALCOMM and an Enum tree that the test controls.
class TPrefixedRegistry : public platform::IRegistryAccess {
 public:
  TPrefixedRegistry(platform::IRegistryAccess& Inner, std::string Prefix)
      : Inner_(Inner), Prefix_(std::move(Prefix)) {}
  platform::TRegKey OpenKey(const std::string& Path) override {
    return Inner_.OpenKey(Prefix_ + "\\" + Path);
  }
  int32_t EnumValue(platform::TRegKey Key, uint32_t Index, char* Name, uint32_t& NameLength,
                    uint32_t& Type, uint8_t* Data, uint32_t& DataSize) override {
    return Inner_.EnumValue(Key, Index, Name, NameLength, Type, Data, DataSize);
  }
  int32_t EnumKey(platform::TRegKey Key, uint32_t Index, char* Name,
                  uint32_t& NameLength) override {
    return Inner_.EnumKey(Key, Index, Name, NameLength);
  }
  int32_t QueryValue(platform::TRegKey Key, const std::string& ValueName, uint32_t& Type,
                     uint8_t* Data, uint32_t& DataSize) override {
    return Inner_.QueryValue(Key, ValueName, Type, Data, DataSize);
  }
  void CloseKey(platform::TRegKey Key) override { Inner_.CloseKey(Key); }

 private:
  platform::IRegistryAccess& Inner_;
  std::string Prefix_;
};

std::vector<std::string>* gLines = nullptr;
void CaptureLine(const std::string& Line) {
  if (gLines) gLines->push_back(Line);
}

TEST(RegistryBackend, FollowsTheBufferRulesTheScanReliesOn) {
  TTestKeys keys;
  keys.SetString("Values", "A", "COM3");
  keys.Set("Values", "Big", REG_SZ, std::string(300, 'Y') + std::string(1, '\0'));
  keys.Set("Values", "Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9));
  keys.SetString("Values\\Sub1", "x", "1");
  keys.SetString("Values\\Sub2", "x", "2");

  std::unique_ptr<platform::IRegistryAccess> registry = platform::CreateSystemRegistry();
  ASSERT_NE(registry, nullptr);
  EXPECT_EQ(registry->OpenKey(keys.Root + "\\Missing"), 0u);
  const platform::TRegKey key = registry->OpenKey(keys.Root + "\\Values");
  ASSERT_NE(key, 0u);

  char name[512];
  uint8_t data[256];
  uint32_t nameLength = sizeof name, dataSize = sizeof data, type = 0;
  ASSERT_EQ(registry->EnumValue(key, 0, name, nameLength, type, data, dataSize),
            platform::kRegSuccess);
  EXPECT_EQ(std::string(name, nameLength), "A");
  EXPECT_EQ(type, platform::kRegSz);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataSize), std::string("COM3\0", 5));
  // Data larger than the 256-byte buffer: ERROR_MORE_DATA, the code the scan logs and stops on.
  nameLength = sizeof name, dataSize = sizeof data;
  EXPECT_EQ(registry->EnumValue(key, 1, name, nameLength, type, data, dataSize),
            platform::kRegMoreData);
  nameLength = sizeof name, dataSize = sizeof data;
  EXPECT_EQ(registry->EnumValue(key, 3, name, nameLength, type, data, dataSize),
            platform::kRegNoMoreItems);

  nameLength = sizeof name;
  ASSERT_EQ(registry->EnumKey(key, 1, name, nameLength), platform::kRegSuccess);
  EXPECT_EQ(std::string(name, nameLength), "Sub2");
  nameLength = sizeof name;
  EXPECT_EQ(registry->EnumKey(key, 2, name, nameLength), platform::kRegNoMoreItems);

  uint32_t size = 0;
  ASSERT_EQ(registry->QueryValue(key, "Multi", type, nullptr, size), platform::kRegSuccess);
  EXPECT_EQ(type, platform::kRegMultiSz);
  EXPECT_EQ(size, 9u);
  std::string text;
  EXPECT_TRUE(ReadRegString(*registry, key, "Multi", text));
  EXPECT_EQ(text, "one");
  EXPECT_FALSE(ReadRegString(*registry, key, "Absent", text));
  registry->CloseKey(key);
}

TEST(RegistryBackend, WholeScanOverTheRealRegistry) {
  TTestKeys keys;
  keys.SetString("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\USBSER000", "COM5");
  // Wine enumerates values sorted by name, Windows mostly in the order written: these names give
  // the same order on both.
  keys.SetString("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\VCP0", "COM1");
  keys.SetString("HARDWARE\\DEVICEMAP\\SERIALCOMM", "\\Device\\Gone", "COM9");
  const std::string instance =
      "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0483&PID_5740\\flip_Test1";
  keys.SetString(instance + "\\Device Parameters", "PortName", "com5");
  keys.SetString(instance, "FriendlyName", "USB Serial Device (COM5)");
  keys.Set(instance, "HardwareID", REG_MULTI_SZ,
           std::string("USB\\VID_0483&PID_5740&REV_0200\0USB\\VID_0483&PID_5740\0\0", 54));

  std::unique_ptr<platform::IRegistryAccess> system = platform::CreateSystemRegistry();
  ASSERT_NE(system, nullptr);
  TPrefixedRegistry registry(*system, keys.Root);
  std::vector<std::string> lines;
  gLines = &lines;
  ComScanLogProc = CaptureLine;
  const TComPortInfos ports =
      EnumerateComPortsFrom(registry, [](const std::string& Port) { return Port != "COM9"; });
  ComScanLogProc = nullptr;
  gLines = nullptr;

  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].PortName, "COM5");
  EXPECT_EQ(ports[0].FriendlyName, "USB Serial Device (COM5)");
  EXPECT_EQ(ports[0].HardwareID, "USB\\VID_0483&PID_5740&REV_0200");
  EXPECT_EQ(ports[0].InstanceId, "flip_Test1");
  EXPECT_EQ(ports[0].VID, 0x0483);
  EXPECT_EQ(ports[0].PID, 0x5740);
  EXPECT_EQ(ports[1].PortName, "COM1");
  EXPECT_EQ(ports[1].DeviceKey, "");
  const std::vector<std::string> expected = {
      "--- EnumerateComPorts start ---",
      "-> Ghost-Port ignoriert: COM9",
      "SERIALCOMM-Eintraege: 2",
      "-> Port: COM5",
      "   FriendlyName: USB Serial Device (COM5)",
      "   HardwareID:   USB\\VID_0483&PID_5740&REV_0200",
      "   InstanceId:   flip_Test1",
      "   VID/PID:      $0483/$5740",
      "-> Port: COM1",
      "   (keine Enum-Info gefunden)",
      "--- EnumerateComPorts fertig, 2 Ports ---",
  };
  EXPECT_EQ(lines, expected);
}

TEST(RegistryBackend, ProbeCallsAMissingComPortAGhost) {
  EXPECT_EQ(platform::ProbePort("COM231"), platform::TPortPresence::Ghost);
  EXPECT_EQ(platform::ProbePort("..\\COM1"), platform::TPortPresence::Ghost);
  // The ordinary null device opens: present.
  EXPECT_EQ(platform::ProbePort("NUL"), platform::TPortPresence::Present);
}

TEST(RegistryBackend, ScanOfThePrefixRegistryRunsToItsEnd) {
  std::vector<std::string> lines;
  gLines = &lines;
  ComScanLogProc = CaptureLine;
  const TComPortInfos ports = EnumerateComPorts();
  ComScanLogProc = nullptr;
  gLines = nullptr;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "--- EnumerateComPorts start ---");
  EXPECT_EQ(lines.back(),
            "--- EnumerateComPorts fertig, " + std::to_string(ports.size()) + " Ports ---");
}

}  // namespace
