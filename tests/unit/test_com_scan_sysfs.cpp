// The Linux port scan on a fake sysfs tree in a temporary folder, with the dev entries as links to
// pseudo-terminal slaves or as plain files; and the POSIX presence test of a port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/PortDiscovery.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the lifetime of the object and puts the old value back.
class TEnvOverride {
 public:
  TEnvOverride(const char* Name, const std::string& Value) : Name_(Name) {
    if (const char* old = getenv(Name)) Old_ = old;
    setenv(Name, Value.c_str(), 1);
  }
  ~TEnvOverride() {
    if (Old_)
      setenv(Name_, Old_->c_str(), 1);
    else
      unsetenv(Name_);
  }

 private:
  const char* Name_;
  std::optional<std::string> Old_;
};

// A pseudo-terminal pair; the slave's path is what a dev entry links to.
class TPty {
 public:
  TPty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY);
    if (Master >= 0 && grantpt(Master) == 0 && unlockpt(Master) == 0)
      if (const char* name = ptsname(Master)) SlavePath = name;
  }
  ~TPty() {
    if (Master >= 0) close(Master);
  }
  int Master = -1;
  std::string SlavePath;
};

void WriteFile(const fs::path& Path, const std::string& Text) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary) << Text;
}

std::vector<std::string>* gLines = nullptr;
void CaptureLine(const std::string& Line) {
  if (gLines) gLines->push_back(Line);
}

class ComScanSysfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarnel-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    Base = pattern;
    Sys = Base / "sys";
    Dev = Base / "dev";
    fs::create_directories(Sys / "class" / "tty");
    fs::create_directories(Dev);
    SysRoot.emplace("QUARNEL_SYSFS_ROOT", Sys.string());
    DevRoot.emplace("QUARNEL_DEV_ROOT", Dev.string());
    gLines = &Lines;
    ComScanLogProc = CaptureLine;
  }
  void TearDown() override {
    ComScanLogProc = nullptr;
    gLines = nullptr;
    SysRoot.reset();
    DevRoot.reset();
    std::error_code ec;
    fs::permissions(Base, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(Base, ec);
  }

  // A USB device at devices/.../Bus with the given attributes (nullptr leaves a file out).
  fs::path AddUsbDevice(const std::string& Bus, const char* Vid, const char* Pid,
                        const char* Product, const char* Serial) {
    const fs::path dir = Sys / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / Bus;
    fs::create_directories(dir);
    if (Vid) WriteFile(dir / "idVendor", std::string(Vid) + "\n");
    if (Pid) WriteFile(dir / "idProduct", std::string(Pid) + "\n");
    if (Product) WriteFile(dir / "product", std::string(Product) + "\n");
    if (Serial) WriteFile(dir / "serial", std::string(Serial) + "\n");
    return dir;
  }
  // The tty as the kernel shows it: class/tty/NAME links to the tty's own directory, whose device
  // link leads to DeviceDir, all as relative links.
  void AddTty(const std::string& Name, const fs::path& DeviceDir) {
    const fs::path ttyDir = DeviceDir / "tty" / Name;
    fs::create_directories(ttyDir);
    fs::create_directory_symlink(fs::relative(DeviceDir, ttyDir), ttyDir / "device");
    fs::create_directory_symlink(fs::relative(ttyDir, Sys / "class" / "tty"),
                                 Sys / "class" / "tty" / Name);
  }
  // A CDC-ACM port: the tty's device is the USB interface Bus:1.0.
  fs::path AddAcm(const std::string& Name, const std::string& Bus, const char* Vid, const char* Pid,
                  const char* Product, const char* Serial) {
    const fs::path usb = AddUsbDevice(Bus, Vid, Pid, Product, Serial);
    const fs::path interface = usb / (Bus + ":1.0");
    WriteFile(interface / "bInterfaceNumber", "00\n");
    AddTty(Name, interface);
    return usb;
  }
  void LinkDev(const std::string& Name, const std::string& Target) {
    fs::create_symlink(Target, Dev / Name);
  }

  fs::path Base, Sys, Dev;
  std::optional<TEnvOverride> SysRoot, DevRoot;
  std::vector<std::string> Lines;
};

TEST_F(ComScanSysfsTest, ListsUsbPortsInNaturalOrderWithIdsAndSkipsGhostsAndNonUsbTtys) {
  TPty portapack, flipper;
  ASSERT_FALSE(portapack.SlavePath.empty());
  ASSERT_FALSE(flipper.SlavePath.empty());

  const fs::path pp = AddAcm("ttyACM10", "1-1", "1d50", "6018", "PortaPack Mayhem",
                             "0000000000000000a06063c82338145f");
  AddAcm("ttyACM2", "1-2", "0483", "5740", "Flipper Test1", "flip_Test1");
  AddAcm("ttyACM0", "1-3", "1d50", "6089", "HackRF One", nullptr);
  // An FTDI adapter: its tty hangs below a usb-serial port directory inside the interface.
  const fs::path ftdi = AddUsbDevice("1-4", "0403", "6001", "FT232R USB UART", "A50285BI");
  WriteFile(ftdi / "1-4:1.0" / "bInterfaceNumber", "00\n");
  AddTty("ttyUSB0", ftdi / "1-4:1.0" / "ttyUSB0");
  // Listed by sysfs, but its dev entry is gone.
  AddAcm("ttyACM5", "1-5", "1d50", "6018", "PortaPack Mayhem", "gone");
  // A mainboard UART and a virtual console: not USB.
  fs::create_directories(Sys / "devices" / "platform" / "serial8250");
  AddTty("ttyS0", Sys / "devices" / "platform" / "serial8250");
  fs::create_directories(Sys / "devices" / "virtual" / "tty" / "tty0");
  fs::create_directory_symlink(Sys / "devices" / "virtual" / "tty" / "tty0",
                               Sys / "class" / "tty" / "tty0");

  LinkDev("ttyACM10", portapack.SlavePath);
  LinkDev("ttyACM2", flipper.SlavePath);
  WriteFile(Dev / "ttyACM0", "");
  WriteFile(Dev / "ttyUSB0", "");
  WriteFile(Dev / "ttyS0", "");
  WriteFile(Dev / "tty0", "");

  const TComPortInfos ports = EnumerateComPortsSysfs();

  ASSERT_EQ(ports.size(), 4u);
  EXPECT_EQ(ports[0].PortName, "ttyACM0");
  EXPECT_EQ(ports[1].PortName, "ttyACM2");
  EXPECT_EQ(ports[2].PortName, "ttyACM10");
  EXPECT_EQ(ports[3].PortName, "ttyUSB0");

  EXPECT_EQ(ports[0].VID, 0x1D50);
  EXPECT_EQ(ports[0].PID, 0x6089);
  EXPECT_EQ(ports[0].InstanceId, "");  // no serial file

  EXPECT_EQ(ports[1].FriendlyName, "Flipper Test1");
  EXPECT_EQ(ports[1].HardwareID, "USB\\VID_0483&PID_5740");
  EXPECT_EQ(ports[1].InstanceId, "flip_Test1");
  EXPECT_EQ(ports[1].VID, 0x0483);
  EXPECT_EQ(ports[1].PID, 0x5740);

  EXPECT_EQ(ports[2].FriendlyName, "PortaPack Mayhem");
  EXPECT_EQ(ports[2].HardwareID, "USB\\VID_1D50&PID_6018");
  EXPECT_EQ(ports[2].DeviceKey, fs::canonical(pp).string());

  EXPECT_EQ(ports[3].FriendlyName, "FT232R USB UART");
  EXPECT_EQ(ports[3].VID, 0x0403);
  EXPECT_EQ(ports[3].PID, 0x6001);
  EXPECT_EQ(ports[3].DeviceKey, fs::canonical(ftdi).string());

  const std::vector<std::string> expected = {
      "--- EnumerateComPorts start ---",
      "-> Ghost-Port ignoriert: ttyACM5",
      "-> Port: ttyACM0",
      "   FriendlyName: HackRF One",
      "   HardwareID:   USB\\VID_1D50&PID_6089",
      "   InstanceId:   ",
      "   VID/PID:      $1D50/$6089",
      "-> Port: ttyACM2",
      "   FriendlyName: Flipper Test1",
      "   HardwareID:   USB\\VID_0483&PID_5740",
      "   InstanceId:   flip_Test1",
      "   VID/PID:      $0483/$5740",
      "-> Port: ttyACM10",
      "   FriendlyName: PortaPack Mayhem",
      "   HardwareID:   USB\\VID_1D50&PID_6018",
      "   InstanceId:   0000000000000000a06063c82338145f",
      "   VID/PID:      $1D50/$6018",
      "-> Port: ttyUSB0",
      "   FriendlyName: FT232R USB UART",
      "   HardwareID:   USB\\VID_0403&PID_6001",
      "   InstanceId:   A50285BI",
      "   VID/PID:      $0403/$6001",
      "--- EnumerateComPorts fertig, 4 Ports ---",
  };
  EXPECT_EQ(Lines, expected);

  // The scan that the plug-in calls picks sysfs on this system.
  Lines.clear();
  EXPECT_EQ(EnumerateComPorts().size(), 4u);
  EXPECT_EQ(Lines.back(), "--- EnumerateComPorts fertig, 4 Ports ---");
}

TEST_F(ComScanSysfsTest, OnlyPortsTheCallerWouldUseAreOpened) {
  TPty portapack;
  ASSERT_FALSE(portapack.SlavePath.empty());
  AddAcm("ttyACM0", "1-1", "1d50", "6018", "PortaPack Mayhem", "a");
  AddAcm("ttyACM1", "1-2", "1d50", "6018", "PortaPack Mayhem", "gone");
  AddAcm("ttyUSB0", "1-3", "0403", "6001", "FT232R USB UART", "b");
  LinkDev("ttyACM0", portapack.SlavePath);
  // Were the adapter opened, its dangling entry would make it a ghost.
  LinkDev("ttyUSB0", (Base / "nothing").string());

  const TComPortInfos ports =
      EnumerateComPortsSysfs([](const TComPortInfo& Port) { return Port.VID == 0x1D50; });

  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].PortName, "ttyACM0");
  EXPECT_EQ(ports[1].PortName, "ttyUSB0");
  const std::vector<std::string> head = {
      "--- EnumerateComPorts start ---",
      "-> Ghost-Port ignoriert: ttyACM1",
      "-> Port nicht geprueft (kein bekanntes Geraet): ttyUSB0",
      "-> Port: ttyACM0",
  };
  ASSERT_GE(Lines.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(Lines.begin(), Lines.begin() + head.size()), head);
}

// The device names its own product and serial; whatever it sends, the folder name made of them
// stays one usable name that leads back to its port.
TEST_F(ComScanSysfsTest, UsbStringsAreMadeFitForFolderNames) {
  TPty flipper;
  ASSERT_FALSE(flipper.SlavePath.empty());
  std::string accents;
  for (int i = 0; i < 200; ++i) accents += "\xC3\xA9";  // 400 bytes of UTF-8
  AddAcm("ttyACM0", "1-1", "0483", "5740", "Flip/per\\Zero\x01\x7f",
         ("flip_a/b\\c\x02" + accents).c_str());
  LinkDev("ttyACM0", flipper.SlavePath);

  const TComPortInfos ports = EnumerateComPortsSysfs();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].FriendlyName, "Flip_per_Zero__");
  const std::string& serial = ports[0].InstanceId;
  ASSERT_EQ(serial.substr(0, 11), "flip_a_b_c_");
  EXPECT_LE(serial.size(), 100u);
  EXPECT_GE(serial.size(), 90u);
  EXPECT_EQ((serial.size() - 11) % 2, 0u) << "a UTF-8 character was split";

  SetPortEnumerator(nullptr);
  const TRootEntries roots = ListRoot();
  ASSERT_EQ(roots.size(), 1u);
  const std::string& display = roots[0].Display;
  EXPECT_LT(display.size(), 259u);
  EXPECT_EQ(display.find_first_of("/\\"), std::string::npos);
  EXPECT_EQ(DisplayToPort(display), "ttyACM0");
}

TEST_F(ComScanSysfsTest, BrokenTreesNeitherCrashNorHang) {
  // Garbage ids, an over-long product with a zero byte in it, a serial that is a directory.
  const fs::path odd = AddAcm("ttyACM0", "1-1", "zzzz", "123456", nullptr, nullptr);
  WriteFile(odd / "product", std::string("Weird\0Tail", 10) + std::string(10000, 'p'));
  fs::create_directories(odd / "serial");
  // A product that is a FIFO: reading it would block forever.
  const fs::path fifo = AddAcm("ttyACM1", "1-2", "1d50", "6018", nullptr, "s1");
  ASSERT_EQ(mkfifo((fifo / "product").c_str(), 0600), 0);
  // A device link that dangles, one that loops, and one straight at the USB device (no
  // interface in between).
  fs::create_directories(Sys / "class" / "tty" / "ttyACM2");
  fs::create_directory_symlink(Sys / "nowhere", Sys / "class" / "tty" / "ttyACM2" / "device");
  fs::create_directories(Sys / "class" / "tty" / "ttyACM3");
  fs::create_symlink("device", Sys / "class" / "tty" / "ttyACM3" / "device");
  const fs::path bare = AddUsbDevice("1-3", "1d50", "6018", "bare", nullptr);
  AddTty("ttyACM4", bare);
  // A class entry that is a plain file.
  WriteFile(Sys / "class" / "tty" / "ttyX", "");
  for (const char* name : {"ttyACM0", "ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4", "ttyX"})
    WriteFile(Dev / name, "");

  const TComPortInfos ports = EnumerateComPortsSysfs();

  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0].PortName, "ttyACM0");
  EXPECT_EQ(ports[0].VID, 0);
  EXPECT_EQ(ports[0].PID, 0);
  EXPECT_EQ(ports[0].HardwareID, "USB\\VID_0000&PID_0000");
  EXPECT_EQ(ports[0].FriendlyName, "Weird");
  EXPECT_EQ(ports[0].InstanceId, "");
  EXPECT_EQ(ports[1].PortName, "ttyACM1");
  EXPECT_EQ(ports[1].FriendlyName, "");
  EXPECT_EQ(ports[1].InstanceId, "s1");

  // A sysfs root without class/tty: logged, nothing listed, no end line.
  Lines.clear();
  TEnvOverride elsewhere("QUARNEL_SYSFS_ROOT", (Base / "missing").string());
  EXPECT_TRUE(EnumerateComPortsSysfs().empty());
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_NE(Lines[1].find("konnte nicht geoeffnet werden"), std::string::npos);
}

TEST_F(ComScanSysfsTest, ProbeTellsGhostsOnlyByMissingEntries) {
  TPty pty;
  ASSERT_FALSE(pty.SlavePath.empty());
  LinkDev("ttyACM0", pty.SlavePath);
  WriteFile(Dev / "plain", "");
  LinkDev("dangling", (Base / "nothing").string());
  WriteFile(Base / "outside", "");
  using platform::ProbePort;
  using platform::TPortPresence;
  EXPECT_EQ(ProbePort("ttyACM0"), TPortPresence::Present);
  EXPECT_EQ(ProbePort("plain"), TPortPresence::Present);
  EXPECT_EQ(ProbePort("missing"), TPortPresence::Ghost);
  EXPECT_EQ(ProbePort("dangling"), TPortPresence::Ghost);
  // Names that would leave the dev folder name no port, even where a file is there.
  EXPECT_EQ(ProbePort("../outside"), TPortPresence::Ghost);
  EXPECT_EQ(ProbePort(".."), TPortPresence::Ghost);
  EXPECT_EQ(ProbePort(""), TPortPresence::Ghost);
  // A dev root that is a file: "not a directory" is a ghost too.
  {
    TEnvOverride fileRoot("QUARNEL_DEV_ROOT", (Dev / "plain").string());
    EXPECT_EQ(ProbePort("ttyACM0"), TPortPresence::Ghost);
  }

  // Probing never takes the port: after it, the slave opens and talks as before.
  const int fd = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(pty.Master, "x", 1), 1);
  close(fd);

  // Not readable (EACCES): present. Root reads everything, so the check runs in a child that
  // gives root up first.
  fs::permissions(Dev / "plain", fs::perms::none);
  fs::permissions(Base, fs::perms::all, fs::perm_options::add);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    _exit(ProbePort("plain") == TPortPresence::Present ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  if (geteuid() != 0) {
    // Held exclusively by another program (EBUSY): present. Root passes TIOCEXCL, so not as root.
    const int holder = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(ProbePort("ttyACM0"), TPortPresence::Present);
    close(holder);
  }
}

TEST(ComScanNaturalOrder, DigitRunsCompareAsNumbers) {
  EXPECT_TRUE(PortNameLess("ttyACM2", "ttyACM10"));
  EXPECT_FALSE(PortNameLess("ttyACM10", "ttyACM2"));
  EXPECT_TRUE(PortNameLess("ttyACM10", "ttyUSB0"));
  EXPECT_TRUE(PortNameLess("ttyUSB", "ttyUSB0"));
  EXPECT_FALSE(PortNameLess("ttyACM1", "ttyACM1"));
  // Equal as numbers but different texts still have one strict order.
  EXPECT_NE(PortNameLess("ttyS01", "ttyS1"), PortNameLess("ttyS1", "ttyS01"));
  std::vector<std::string> names = {"ttyUSB1", "ttyACM10", "rfcomm0", "ttyACM2", "ttyACM0",
                                    "ttyUSB0", "ttyS01",   "ttyS1",   "ttyACM",  "1"};
  std::sort(names.begin(), names.end(), PortNameLess);
  EXPECT_EQ(names, (std::vector<std::string>{"1", "rfcomm0", "ttyACM", "ttyACM0", "ttyACM2",
                                             "ttyACM10", "ttyS01", "ttyS1", "ttyUSB0", "ttyUSB1"}));
}

}  // namespace

// Whether a port exists, as a remembered folder name asks it: quietly, without opening anything.
TEST_F(ComScanSysfsTest, APortIsListedWhileItsTtyEntryExists) {
  AddAcm("ttyACM0", "1-1", "1d50", "6018", "PortaPack Mayhem", "a");
  // Its device entry leads nowhere: opening it would make it a ghost; listing does not open.
  LinkDev("ttyACM0", (Base / "nothing").string());
  struct {
    const char* Name;
    bool Listed;
  } cases[] = {{"ttyACM0", true}, {"ttyACM1", false}, {"../class", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(IsPortListedSysfs(c.Name), c.Listed) << c.Name;
  EXPECT_TRUE(Lines.empty());
}
