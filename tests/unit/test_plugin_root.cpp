// The plug-in's front door at the root level: exports, find data, root entries, the debug log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devices/uDeviceLog.h"
#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uFindData.h"
#include "plugin/uHostLog.h"
#include "plugin/uLibrary.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"
#include "support/StubDevice.h"
#include "util/uDebugLog.h"

namespace {

// WIN32_FIND_DATAA is packed on Linux: copy its fields out before gtest binds references to them.
#define U32(x) static_cast<uint32_t>(x)

// The debug log goes to $TMPDIR/quarnel.log; give this test binary a folder of its own before
// anything logs.
std::string MakeLogDir() {
  char pattern[] = "/tmp/quarnel-unit-XXXXXX";
  const char* dir = mkdtemp(pattern);
  std::string result = dir ? dir : "/tmp";
  setenv("TMPDIR", result.c_str(), 1);
  return result;
}
const std::string kLogDir = MakeLogDir();

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TComPortInfo Port(const std::string& name, const std::string& friendly, uint16_t vid, uint16_t pid,
                  const std::string& instance = "") {
  TComPortInfo p;
  p.PortName = name;
  p.FriendlyName = friendly;
  p.VID = vid;
  p.PID = pid;
  p.InstanceId = instance;
  return p;
}

TComPortInfos gPorts;
// The ports the last enumeration was asked to open for the ghost test; listings run on several
// threads at once in one test.
std::mutex gProbedLock;
std::vector<std::string> gProbed;
TComPortInfos FakePorts(const TPortFilter& ProbeOnly) {
  std::vector<std::string> probed;
  for (const TComPortInfo& port : gPorts)
    if (!ProbeOnly || ProbeOnly(port)) probed.push_back(port.PortName);
  std::lock_guard<std::mutex> guard(gProbedLock);
  gProbed = probed;
  return gPorts;
}

// Puts a FIFO or a directory where the debug log file is, for the object's lifetime, and the file
// back afterwards. With a FIFO, a thread that logs stays inside DebugLog, holding the log's lock,
// blocked in the file's open until ReadLines opens the reading end.
class TLogStandIn {
 public:
  enum TKind { kFifo, kDirectory };
  explicit TLogStandIn(TKind Kind) : Path_(DebugLogPath()), Saved_(Path_ + ".saved") {
    std::rename(Path_.c_str(), Saved_.c_str());
    Ok_ = Kind == kFifo ? mkfifo(Path_.c_str(), 0600) == 0 : mkdir(Path_.c_str(), 0700) == 0;
  }
  ~TLogStandIn() {
    // Gone first, so that no later writer blocks; then the reading end may close.
    std::remove(Path_.c_str());
    if (Reader_ >= 0) close(Reader_);
    std::rename(Saved_.c_str(), Path_.c_str());
  }
  TLogStandIn(const TLogStandIn&) = delete;
  TLogStandIn& operator=(const TLogStandIn&) = delete;
  bool Ok() const { return Ok_; }

  // The first Count lines written to the FIFO, without their line ends; fewer after TimeoutMs.
  std::vector<std::string> ReadLines(size_t Count, uint32_t TimeoutMs) {
    if (Reader_ < 0) Reader_ = open(Path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    std::vector<std::string> lines;
    std::string text;
    while (Reader_ >= 0 && lines.size() < Count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{Reader_, POLLIN, 0};
      poll(&p, 1, 50);
      char buf[4096];
      ssize_t n = read(Reader_, buf, sizeof(buf));
      // 0: no writer has the FIFO open at the moment; one that was waiting comes in a moment.
      if (n <= 0) continue;
      text.append(buf, static_cast<size_t>(n));
      for (size_t end; (end = text.find("\r\n")) != std::string::npos; text.erase(0, end + 2))
        lines.push_back(text.substr(0, end));
    }
    return lines;
  }

 private:
  std::string Path_;
  std::string Saved_;
  bool Ok_ = false;
  int Reader_ = -1;
};

// Milliseconds since midnight of a "hh:mm:ss.mmm  text" log line or a local time.
int64_t MsOfDay(const std::string& Line) {
  int h = 0, m = 0, sec = 0, ms = 0;
  if (std::sscanf(Line.c_str(), "%2d:%2d:%2d.%3d", &h, &m, &sec, &ms) != 4) return -1;
  return ((h * 60 + m) * 60 + sec) * 1000LL + ms;
}
int64_t MsOfDay(const platform::TLocalTime& T) {
  return ((T.Hour * 60 + T.Minute) * 60 + T.Second) * 1000LL + T.Millisecond;
}

struct LogRecord {
  int nr;
  int type;
  std::string text;
};
std::vector<LogRecord> gHostLog;
void WFX_API RecordLog(int nr, int type, char* text) {
  gHostLog.push_back({nr, type, text ? std::string(text) : std::string("<null>")});
}

class PluginRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPortEnumerator(FakePorts);
    gPorts.clear();
    gHostLog.clear();
  }
  void TearDown() override {
    SetPortEnumerator(nullptr);
    LogProc.store(nullptr);
    LogProcW.store(nullptr);
    WideCallbacks.store(false);
    SetConnectNotify(nullptr);
    DeviceLogProc = nullptr;
    ComScanLogProc = nullptr;
  }

  std::vector<WIN32_FIND_DATAA> ListAll(const char* path, HANDLE* first = nullptr) {
    std::vector<WIN32_FIND_DATAA> out;
    WIN32_FIND_DATAA data;
    HANDLE h = FsFindFirst(const_cast<char*>(path), &data);
    if (first) *first = h;
    if (h == INVALID_HANDLE_VALUE) return out;
    out.push_back(data);
    while (FsFindNext(h, &data)) out.push_back(data);
    EXPECT_EQ(FsFindClose(h), 0);
    return out;
  }
};

// The host's "no time" in all three times (zero in the Linux build, see HostNoTime).
void ExpectNoTimes(const WIN32_FIND_DATAA& Data) {
  const FILETIME none = HostNoTime();
  for (const FILETIME& t : {Data.ftCreationTime, Data.ftLastAccessTime, Data.ftLastWriteTime}) {
    EXPECT_EQ(t.dwLowDateTime, none.dwLowDateTime);
    EXPECT_EQ(t.dwHighDateTime, none.dwHighDateTime);
  }
}

TEST(FindData, RootEntryIsAZeroSizedFolderWithNoTimes) {
  TRootEntry entry;
  entry.Display = "PortaPack (COM5)";
  WIN32_FIND_DATAA data;
  std::memset(&data, 0xAB, sizeof(data));
  FillFindDataFromRoot(entry, data);
  EXPECT_EQ(U32(data.dwFileAttributes), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(U32(data.nFileSizeHigh), 0u);
  EXPECT_EQ(U32(data.nFileSizeLow), 0u);
  ExpectNoTimes(data);
  EXPECT_STREQ(data.cFileName, "PortaPack (COM5)");
  EXPECT_EQ(data.cAlternateFileName[0], '\0');
  EXPECT_EQ(U32(data.dwReserved0), 0u);
}

TEST(FindData, LongNamesAreCutTo259AndSizesKeepAll64Bits) {
  TShellFileEntry entry;
  entry.Name = std::string(300, 'x');
  entry.Size = 5000000000LL;
  WIN32_FIND_DATAA data;
  std::memset(&data, 0xAB, sizeof(data));
  FillFindDataFromEntry(entry, data);
  EXPECT_EQ(std::strlen(data.cFileName), 259u);
  EXPECT_EQ(U32(data.nFileSizeHigh), 1u);
  EXPECT_EQ(U32(data.nFileSizeLow), 705032704u);
  EXPECT_EQ(U32(data.dwFileAttributes), FILE_ATTRIBUTE_NORMAL);
  ExpectNoTimes(data);
  EXPECT_EQ(data.cAlternateFileName[0], '\0');

  TShellFileEntry root;
  root.Name = std::string(259, 'y');
  FillFindDataFromRoot(TRootEntry{root.Name, "COM1", "", "", 0, 0, dkPortapack, true, ""}, data);
  EXPECT_EQ(std::strlen(data.cFileName), 259u);
}

TEST(FindData, DirectoryAndTimesFromTheDevice) {
  TShellFileEntry entry;
  entry.Name = "APPS";
  entry.IsDir = true;
  entry.HasTime = true;
  entry.Time = {0x11223344u, 0x01D9ABCDu};
  WIN32_FIND_DATAA data;
  FillFindDataFromEntry(entry, data);
  EXPECT_EQ(U32(data.dwFileAttributes), FILE_ATTRIBUTE_DIRECTORY);
  for (const FILETIME& t : {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime}) {
    EXPECT_EQ(t.dwLowDateTime, 0x11223344u);
    EXPECT_EQ(t.dwHighDateTime, 0x01D9ABCDu);
  }
}

TEST(Exports, DefRootNameRespectsTheBuffer) {
  char buffer[32];
  std::memset(buffer, 'Z', sizeof(buffer));
  FsGetDefRootName(buffer, 8);
  EXPECT_STREQ(buffer, "ChibiOS");
  EXPECT_EQ(buffer[8], 'Z');
  FsGetDefRootName(buffer, 1);
  EXPECT_STREQ(buffer, "");
  FsGetDefRootName(buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "ChibiOS Devices");
  FsGetDefRootName(nullptr, 10);  // must not crash
  FsGetDefRootName(buffer, 0);
  FsGetDefRootName(buffer, -5);
}

TEST(Exports, DefaultParamsKeepTheIniNameUpToItsEnd) {
  FsDefaultParamStruct params{};
  params.size = sizeof(params);
  std::strcpy(params.DefaultIniName, "C:\\tc\\fsplugin.ini");
  FsSetDefaultParams(&params);
  EXPECT_EQ(IniFileName(), "C:\\tc\\fsplugin.ini");
  // No terminator at all: exactly the 260 characters, nothing read beyond.
  std::memset(params.DefaultIniName, 'q', MAX_PATH);
  FsSetDefaultParams(&params);
  EXPECT_EQ(IniFileName(), std::string(MAX_PATH, 'q'));
  FsSetDefaultParams(nullptr);
  EXPECT_EQ(IniFileName(), std::string(MAX_PATH, 'q'));
}

TEST_F(PluginRoot, ListsRecognisedDevicesInPortOrder) {
  gPorts = {Port("COM7", "USB Serial Device (COM7)", 0x0483, 0x5740, "FLIP_Abc1"),
            Port("COM3", "Some USB adapter", 0x0403, 0x6001), Port("COM5", "", 0x1D50, 0x6018),
            Port("COM9", "HackRF", 0x1D50, 0x6089)};
  std::vector<WIN32_FIND_DATAA> all = ListAll("\\");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_STREQ(all[0].cFileName, "Flipper Zero Abc1 (COM7)");
  EXPECT_STREQ(all[1].cFileName, "PortaPack (COM5)");
  EXPECT_STREQ(all[2].cFileName, "HackRF One (COM9, no shell)");
  for (const auto& d : all) {
    EXPECT_EQ(U32(d.dwFileAttributes), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(U32(d.nFileSizeLow), 0u);
    ExpectNoTimes(d);
  }
  // The empty path and, on Linux, "/" are the root too.
  EXPECT_EQ(ListAll("").size(), 3u);
  EXPECT_EQ(ListAll("/").size(), 3u);
  EXPECT_EQ(ListAll(nullptr).size(), 3u);
}

// Listing the root must not open ports it would not list: that resets boards that reset on DTR
// and can block on an outgoing Bluetooth port.
TEST_F(PluginRoot, OnlyPortsThatWouldBeListedAreOpenedForTheGhostTest) {
  gPorts = {Port("COM3", "Some USB adapter", 0x0403, 0x6001),
            Port("COM5", "", 0x1D50, 0x6018),
            Port("COM4", "Standard Serial over Bluetooth link", 0, 0),
            Port("COM8", "USB Serial (Mayhem)", 0, 0),
            Port("COM9", "HackRF", 0x1D50, 0x6089),
            Port("COM7", "", 0x0483, 0x5740)};
  EXPECT_EQ(ListRoot().size(), 4u);
  std::lock_guard<std::mutex> guard(gProbedLock);
  EXPECT_EQ(gProbed, (std::vector<std::string>{"COM5", "COM8", "COM9", "COM7"}));
}

TEST_F(PluginRoot, EmptyRootAndPathsBelowItFailWithTheirErrors) {
  HANDLE h;
  EXPECT_TRUE(ListAll("\\", &h).empty());
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, static_cast<int>(ERROR_NO_MORE_FILES));

  gPorts = {Port("COM5", "", 0x1D50, 0x6018)};
  EXPECT_TRUE(ListAll("\\PortaPack (COM5)\\APPS", &h).empty());
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, static_cast<int>(ERROR_PATH_NOT_FOUND));

  std::string huge = "\\" + std::string(100000, 'p');
  EXPECT_TRUE(ListAll(huge.c_str(), &h).empty());
  EXPECT_EQ(FsFindFirst(const_cast<char*>("\\"), nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(PluginRoot, FindNextAndCloseRefuseBadHandles) {
  WIN32_FIND_DATAA data;
  std::memset(&data, 0x5A, sizeof(data));
  EXPECT_FALSE(FsFindNext(INVALID_HANDLE_VALUE, &data));
  EXPECT_EQ(FsFindClose(INVALID_HANDLE_VALUE), 0);
  int bogus = 0;
  EXPECT_FALSE(FsFindNext(&bogus, &data));
  EXPECT_EQ(FsFindClose(&bogus), 0);
  EXPECT_EQ(static_cast<unsigned char>(data.cFileName[0]), 0x5A);  // untouched on False

  gPorts = {Port("COM5", "", 0x1D50, 0x6018)};
  HANDLE h = FsFindFirst(const_cast<char*>("\\"), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FsFindNext(h, nullptr));
  std::memset(&data, 0x5A, sizeof(data));
  EXPECT_FALSE(FsFindNext(h, &data));
  EXPECT_EQ(static_cast<unsigned char>(data.cFileName[0]), 0x5A);
  EXPECT_EQ(FsFindClose(h), 0);
  EXPECT_FALSE(FsFindNext(h, &data));  // closed handles are refused, not reused
  EXPECT_EQ(FsFindClose(h), 0);
}

TEST(RootEntries, ClassificationIdsBeforeNames) {
  EXPECT_EQ(ClassifyDevice("", 0x1D50, 0x6018), dkPortapack);
  EXPECT_EQ(ClassifyDevice("PortaPack", 0x1D50, 0x6089), dkHackRF);
  EXPECT_EQ(ClassifyDevice("", 0x0483, 0x5740), dkFlipper);
  EXPECT_EQ(ClassifyDevice("USB Serial (Mayhem)", 0, 0), dkPortapack);
  EXPECT_EQ(ClassifyDevice("my hackrf", 0x1D50, 0x1234), dkHackRF);
  EXPECT_EQ(ClassifyDevice("fLiPpEr", 0, 0), dkFlipper);
  EXPECT_EQ(ClassifyDevice("USB Serial Device (COM4)", 0x0403, 0x6001), dkNone);
  // Only a-z are folded: a byte above 127 never turns into a letter.
  EXPECT_EQ(ClassifyDevice("FLIPP\xC5R", 0, 0), dkNone);
}

TEST(RootEntries, NamesAndDescriptions) {
  EXPECT_EQ(FlipperNameFromInstance("FLIP_Abc1"), "Abc1");
  EXPECT_EQ(FlipperNameFromInstance("flip_Abc1"), "Abc1");
  EXPECT_EQ(FlipperNameFromInstance("flip_"), "");
  EXPECT_EQ(FlipperNameFromInstance("6&2A3F&0&0000"), "");
  EXPECT_EQ(FlipperNameFromInstance("fli"), "");
  EXPECT_EQ(FlipperNameFromInstance(""), "");

  EXPECT_EQ(RootDisplayName(dkPortapack, "COM5", ""), "PortaPack (COM5)");
  EXPECT_EQ(RootDisplayName(dkHackRF, "COM12", ""), "HackRF One (COM12, no shell)");
  EXPECT_EQ(RootDisplayName(dkFlipper, "COM7", "Abc1"), "Flipper Zero Abc1 (COM7)");
  EXPECT_EQ(RootDisplayName(dkFlipper, "COM7", ""), "Flipper Zero (COM7)");
  EXPECT_EQ(RootDisplayName(dkNone, "COM7", "x"), "");

  EXPECT_EQ(RootDescription(dkPortapack, "", "x"), "PortaPack/Mayhem ChibiOS shell");
  EXPECT_EQ(RootDescription(dkHackRF, "", "x"),
            "HackRF One without PortaPack - no serial shell available");
  EXPECT_EQ(RootDescription(dkFlipper, "Abc1", "x"), "Flipper Zero \"Abc1\"");
  EXPECT_EQ(RootDescription(dkFlipper, "", "x"), "Flipper Zero");
  EXPECT_EQ(RootDescription(dkNone, "", "Plain adapter"), "Plain adapter");
}

TEST_F(PluginRoot, StoredEntriesMapNamesBackToPortsAndKinds) {
  gPorts = {Port("COM7", "", 0x0483, 0x5740, "flip_Abc1"), Port("COM12", "HackRF", 0, 0),
            Port("COM5", "Mayhem", 0, 0)};
  TRootEntries roots = ListRoot();
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(roots[0].FlipperName, "Abc1");
  EXPECT_EQ(roots[0].Description, "Flipper Zero \"Abc1\"");
  EXPECT_TRUE(roots[0].HasShell);
  EXPECT_FALSE(roots[1].HasShell);
  EXPECT_EQ(roots[1].Kind, dkHackRF);
  EXPECT_EQ(RootEntries().size(), 3u);

  EXPECT_EQ(DisplayToPort("Flipper Zero Abc1 (COM7)"), "COM7");
  EXPECT_EQ(KindForDisplay("Flipper Zero Abc1 (COM7)"), dkFlipper);
  EXPECT_EQ(KindForDisplay("HackRF One (COM12, no shell)"), dkHackRF);
  EXPECT_EQ(KindForDisplay("PortaPack (COM9)"), dkNone);  // no parsing here
  // Names not listed (remembered by the host) are parsed.
  EXPECT_EQ(DisplayToPort("PortaPack (COM9)"), "COM9");
  EXPECT_EQ(DisplayToPort("HackRF One (COM12, no shell)"), "COM12");
  EXPECT_EQ(DisplayToPort("PortaPack (ttyACM3)"), "ttyACM3");
  EXPECT_EQ(DisplayToPort("Flipper Zero a,b (COM4)"), "");
  EXPECT_EQ(DisplayToPort("PortaPack COM9"), "");
  EXPECT_EQ(DisplayToPort("PortaPack (COM9"), "");
  EXPECT_EQ(DisplayToPort(""), "");

  gPorts.clear();
  EXPECT_TRUE(ListRoot().empty());
  EXPECT_EQ(KindForDisplay("Flipper Zero Abc1 (COM7)"), dkNone);
}

TEST_F(PluginRoot, NoticesGoToTheHostOnlyAfterInit) {
  NotifyConnect("PortaPack (COM5)");  // no notifier yet: nothing
  HostLog(MSGTYPE_DETAILS, "dropped");
  DeviceLog("dropped too");
  EXPECT_TRUE(gHostLog.empty());

  FsInit(42, nullptr, RecordLog, nullptr);
  gHostLog.clear();
  NotifyConnect("PortaPack (COM5)");
  NotifyDisconnect("PortaPack (COM5)");
  HostLog(MSGTYPE_IMPORTANTERROR, "");
  DeviceLog("portapack hello");
  ASSERT_EQ(gHostLog.size(), 4u);
  EXPECT_EQ(gHostLog[0].nr, 42);
  EXPECT_EQ(gHostLog[0].type, MSGTYPE_CONNECT);
  EXPECT_EQ(gHostLog[0].text, "CONNECT /PortaPack (COM5)");
  EXPECT_EQ(gHostLog[1].type, MSGTYPE_DISCONNECT);
  EXPECT_EQ(gHostLog[1].text, "DISCONNECT /PortaPack (COM5)");
  EXPECT_EQ(gHostLog[2].text, "");  // empty text arrives as an empty string, not null
  EXPECT_EQ(gHostLog[3].type, MSGTYPE_DETAILS);
  EXPECT_EQ(gHostLog[3].text, "portapack hello");
  EXPECT_NE(ReadFile(DebugLogPath()).find("  portapack hello\r\n"), std::string::npos);
}

// The host lists from its main thread while transfers run on others; root listings, name lookups,
// activity stamps and log lines from several threads at once must neither race nor tear lines.
TEST_F(PluginRoot, ConcurrentListingsLookupsAndLogging) {
  gPorts = {Port("COM5", "", 0x1D50, 0x6018), Port("COM7", "", 0x0483, 0x5740, "flip_T")};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        WIN32_FIND_DATAA data;
        HANDLE h = FsFindFirst(const_cast<char*>("\\"), &data);
        if (h != INVALID_HANDLE_VALUE) {
          while (FsFindNext(h, &data)) {
          }
          FsFindClose(h);
        }
        EXPECT_EQ(DisplayToPort("Flipper Zero T (COM7)"), "COM7");
        MarkActivity();
        DebugLog("thread " + std::to_string(t) + " line " + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  std::string text = ReadFile(DebugLogPath());
  EXPECT_NE(text.find("  thread 3 line 49\r\n"), std::string::npos);
  std::regex torn("[^\n]\\d{2}:\\d{2}:\\d{2}\\.\\d{3}  thread");
  EXPECT_FALSE(std::regex_search(text, torn));
}

TEST(DebugLogFile, LinesAreStampedAndEndInCrLf) {
  EXPECT_EQ(DebugLogPath(), kLogDir + "/quarnel.log");
  FsInit(7, nullptr, nullptr, nullptr);
  DebugLog("marker line");
  std::string text = ReadFile(DebugLogPath());
  EXPECT_NE(text.find("=== FsInit called, PluginNr=7 ===\r\n"), std::string::npos);
  EXPECT_NE(text.find("Debug log path: " + kLogDir + "/quarnel.log\r\n"), std::string::npos);
  std::regex line("(^|\n)\\d{2}:\\d{2}:\\d{2}\\.\\d{3}  marker line\r\n");
  EXPECT_TRUE(std::regex_search(text, line));
}

TEST(DebugLogFile, DataLinesShowHexAndText) {
  const unsigned char prompt[] = {0x3E, 0x3A, 0x20};
  EXPECT_EQ(FormatDataLine("flipper banner", prompt, 3),
            "flipper banner (3 bytes) 3E 3A 20  | >: ");
  EXPECT_EQ(FormatDataLine("x", prompt, 0), "x (0 bytes)");
  EXPECT_EQ(FormatDataLine("x", prompt, -4), "x (0 bytes)");
  EXPECT_EQ(FormatDataLine("x", nullptr, 10), "x (0 bytes)");

  std::vector<unsigned char> bytes(49);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  bytes[0] = 0x0D;
  bytes[1] = 0x7F;
  bytes[2] = 'A';
  std::string line = FormatDataLine("portapack SendCmd resp", bytes.data(), 49);
  std::string head = "portapack SendCmd resp (49 bytes) 0D 7F 41 ";
  ASSERT_EQ(line.substr(0, head.size()), head);
  size_t bar = line.find(" | ");
  ASSERT_NE(bar, std::string::npos);
  EXPECT_EQ(line.substr(bar - 3, 3), "...");
  size_t hexStart = line.find("bytes) ") + 7;
  std::string hex = line.substr(hexStart, bar - hexStart);
  EXPECT_EQ(std::count(hex.begin(), hex.end(), ' '), 48);
  std::string ascii = line.substr(bar + 3);
  EXPECT_EQ(ascii.size(), 48u);
  EXPECT_EQ(ascii.substr(0, 3), "..A");
}

TEST(DebugLogFile, PathRule) {
  struct {
    const char* Dir;
    char Separator;
    const char* Path;
  } cases[] = {
      {"C:\\Users\\me\\AppData\\Local\\Temp\\", '\\',
       "C:\\Users\\me\\AppData\\Local\\Temp\\quarnel.log"},
      {"C:\\Temp", '\\', "C:\\Temp\\quarnel.log"},
      {"", '\\', "C:\\quarnel.log"},
      {"/tmp/x", '/', "/tmp/x/quarnel.log"},
      {"/tmp/x/", '/', "/tmp/x/quarnel.log"},
      {"", '/', "/tmp/quarnel.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(DebugLogPathFor(c.Dir, c.Separator), c.Path) << c.Dir;
}

TEST_F(PluginRoot, AnUnwritableLogFileLosesItsLinesAndNothingElse) {
  TLogStandIn directory(TLogStandIn::kDirectory);
  ASSERT_TRUE(directory.Ok());
  EXPECT_EQ(FsInit(3, nullptr, RecordLog, nullptr), 0);
  DeviceLog("portapack line without a file");
  DebugLogData("label", "ab", 2);
  ASSERT_FALSE(gHostLog.empty());
  EXPECT_EQ(gHostLog.back().text, "portapack line without a file");
}

// A line that waited for the log's lock is stamped when it is written, so that the stamps in the
// file never run backwards between threads.
TEST(DebugLogFile, LinesAreStampedWhenWritten) {
  TLogStandIn fifo(TLogStandIn::kFifo);
  ASSERT_TRUE(fifo.Ok());
  std::thread first([] { DebugLog("stamp test one"); });
  std::thread second([] { DebugLog("stamp test two"); });
  // One of the two is stuck in the FIFO's open holding the lock, the other waits for the lock.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const platform::TLocalTime released = platform::LocalTimeNow();
  const std::vector<std::string> lines = fifo.ReadLines(2, 10000);
  first.join();
  second.join();
  ASSERT_EQ(lines.size(), 2u);
  if (MsOfDay(released) < 10000) GTEST_SKIP() << "too close to midnight";
  // The line written second began to wait long before the release.
  EXPECT_GE(MsOfDay(lines[1]), MsOfDay(released)) << lines[1];
}

// FsInit may run again (a second host window) while a transfer thread logs through the hooks it
// sets; ThreadSanitizer reports plain hook variables here.
TEST_F(PluginRoot, LoggingWhileFsInitReplacesTheHooks) {
  std::atomic<int> logged{0};
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop.load()) {
      DeviceLog("portapack racing line");
      ComScanLog("-> Port: racing");
      logged.fetch_add(1);
    }
  });
  for (int i = 0; i < 200 && logged.load() < 20; ++i) {
    FsInit(i, nullptr, nullptr, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // As the unload does.
  DeviceLogProc = nullptr;
  ComScanLogProc = nullptr;
  stop.store(true);
  logger.join();
  EXPECT_GT(logged.load(), 0);
}

// A device whose Connect waits until the test lets it go (at most 10 s).
std::atomic<bool> gConnectEntered{false};
std::promise<void>* gConnectRelease = nullptr;
class TStuckDevice : public TStubDevice {
 public:
  using TStubDevice::TStubDevice;
  bool Connect() override {
    gConnectEntered.store(true);
    gConnectRelease->get_future().wait_for(std::chrono::seconds(10));
    LastError = "released";
    return false;
  }
};
TShellDevicePtr StuckDeviceFactory(const std::string& PortName, const std::string&, uint16_t,
                                   uint16_t) {
  return TShellDevicePtr(new TStuckDevice(PortName));
}

// The case that hangs a host on exit: a host thread inside a connect holds RegistryLock when
// Windows kills it, and the shut-down at process exit must not wait for that lock.
TEST_F(PluginRoot, ShutdownAtProcessExitWaitsForNoConnectInProgress) {
  gPorts = {Port("COM5", "", 0x1D50, 0x6018)};
  LibraryStartup();
  ListRoot();
  SetDeviceFactory(StuckDeviceFactory);
  std::promise<void> release;
  gConnectRelease = &release;
  gConnectEntered.store(false);
  std::thread host([] {
    WIN32_FIND_DATAA data;
    FsFindFirst(const_cast<char*>("\\PortaPack (COM5)"), &data);
  });
  for (int i = 0; i < 500 && !gConnectEntered.load(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(gConnectEntered.load());

  auto exiting = std::async(std::launch::async, [] { LibraryShutdown(true); });
  EXPECT_EQ(exiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  release.set_value();
  host.join();
  exiting.wait();
  SetDeviceFactory(nullptr);
  LibraryShutdown(false);
}

TEST_F(PluginRoot, UnloadReleasesWhatTheLibraryHeldAndLoadStampsActivity) {
  gPorts = {Port("COM5", "", 0x1D50, 0x6018), Port("COM7", "", 0x0483, 0x5740)};
  LibraryStartup();
  FsInit(5, nullptr, RecordLog, nullptr);
  SetIniFileName("C:\\tc\\wincmd.ini");
  WIN32_FIND_DATAA data;
  HANDLE open = FsFindFirst(const_cast<char*>("\\"), &data);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);

  LibraryShutdown(false);
  EXPECT_EQ(IniFileName(), "");
  EXPECT_FALSE(FsFindNext(open, &data));  // the context went with the unload
  EXPECT_TRUE(RootEntries().empty());
  EXPECT_EQ(DeviceLogProc.load(), nullptr);
  EXPECT_EQ(ComScanLogProc.load(), nullptr);
  gHostLog.clear();
  NotifyConnect("PortaPack (COM5)");
  EXPECT_TRUE(gHostLog.empty());
  // A line logged after the unload finds its file again.
  DebugLog("after the unload");
  EXPECT_NE(ReadFile(DebugLogPath()).find("  after the unload\r\n"), std::string::npos);

  SetLastActivity(1);
  const uint64_t before = platform::TickCountMs();
  LibraryStartup();
  EXPECT_GE(LastActivity(), before);
  LibraryShutdown(false);  // a test binary runs without the library's start-up
}

TEST_F(PluginRoot, FindFirstStampsActivityFindNextDoesNot) {
  gPorts = {Port("COM5", "", 0x1D50, 0x6018), Port("COM7", "", 0x0483, 0x5740)};
  const uint64_t before = platform::TickCountMs();
  WIN32_FIND_DATAA data;
  for (const char* path : {"\\", "\\PortaPack (COM5)\\APPS"}) {
    SetLastActivity(1);
    HANDLE h = FsFindFirst(const_cast<char*>(path), &data);
    EXPECT_GE(LastActivity(), before) << path;
    if (h != INVALID_HANDLE_VALUE) {
      SetLastActivity(1);
      EXPECT_TRUE(FsFindNext(h, &data));
      EXPECT_FALSE(FsFindNext(h, &data));
      EXPECT_EQ(LastActivity(), 1u);
      FsFindClose(h);
    }
  }
}

TEST_F(PluginRoot, FailedFindFirstLeavesTheFindDataZeroed) {
  struct {
    const char* Path;
    TComPortInfos Ports;
  } cases[] = {
      {"\\", {}},
      {"\\PortaPack (COM5)\\APPS", {Port("COM5", "", 0x1D50, 0x6018)}},
      {"\\Nothing (COM9)", {}},
  };
  for (const auto& c : cases) {
    gPorts = c.Ports;
    WIN32_FIND_DATAA data;
    std::memset(&data, 0xAB, sizeof(data));
    EXPECT_EQ(FsFindFirst(const_cast<char*>(c.Path), &data), INVALID_HANDLE_VALUE) << c.Path;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&data);
    EXPECT_EQ(std::count(bytes, bytes + sizeof(data), 0), static_cast<long>(sizeof(data)))
        << c.Path;
  }
}

std::vector<LogRecord> gWideLog;
void WFX_API RecordWideLog(int nr, int type, WCHAR* text) {
  std::u16string wide = text ? std::u16string(text) : u"<null>";
  gWideLog.push_back({nr, type, std::string(wide.begin(), wide.end())});  // ASCII in these tests
}

// The wide find functions list what the ANSI ones list, names in UTF-16, from one context.
TEST_F(PluginRoot, WideFindFunctionsListTheRootInUtf16) {
  gPorts = {Port("COM7", "", 0x0483, 0x5740, "FLIP_Abc1"), Port("COM5", "", 0x1D50, 0x6018)};
  WIN32_FIND_DATAW data;
  std::memset(&data, 0xAB, sizeof(data));
  HANDLE h = FsFindFirstW(const_cast<WCHAR*>(u"\\"), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::u16string> names{data.cFileName};
  EXPECT_EQ(U32(data.dwFileAttributes), FILE_ATTRIBUTE_DIRECTORY);
  while (FsFindNextW(h, &data)) names.push_back(data.cFileName);
  EXPECT_EQ(FsFindClose(h), 0);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Flipper Zero Abc1 (COM7)", u"PortaPack (COM5)"}));
  EXPECT_FALSE(FsFindNextW(h, &data));
  EXPECT_EQ(FsFindFirstW(const_cast<WCHAR*>(u"\\"), nullptr), INVALID_HANDLE_VALUE);
}

// Every wide export refuses a name with a lone surrogate: its failure result, "path not found"
// for the listing, and the reason behind the export's prefix in the host's log window.
TEST_F(PluginRoot, WideExportsRefuseNamesThatNameNoFileWithTheReason) {
  gPorts = {Port("COM5", "", 0x1D50, 0x6018)};
  FsInitW(7, nullptr, RecordWideLog, nullptr);
  gWideLog.clear();
  std::u16string bad = u"\\PortaPack (COM5)\\a\xD800";
  WCHAR* name = bad.data();
  WCHAR local[] = u"/tmp/x";
  WIN32_FIND_DATAW data;
  EXPECT_EQ(FsFindFirstW(name, &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, static_cast<int>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(FsGetFileW(name, local, 0, nullptr), FS_FILE_READERROR);
  EXPECT_EQ(FsPutFileW(local, name, 0), FS_FILE_WRITEERROR);
  EXPECT_EQ(FsRenMovFileW(name, name, TRUE, FALSE, nullptr), FS_FILE_WRITEERROR);
  EXPECT_FALSE(FsDeleteFileW(name));
  EXPECT_FALSE(FsRemoveDirW(name));
  EXPECT_FALSE(FsMkDirW(name));
  EXPECT_FALSE(FsDisconnectW(name));
  std::vector<std::string> prefixes;
  for (const LogRecord& record : gWideLog) {
    EXPECT_EQ(record.nr, 7);
    EXPECT_EQ(record.type, MSGTYPE_IMPORTANTERROR);
    const size_t reason = record.text.find("Cannot use the name ");
    ASSERT_NE(reason, std::string::npos) << record.text;
    EXPECT_NE(record.text.find("lone UTF-16 surrogate"), std::string::npos) << record.text;
    prefixes.push_back(record.text.substr(0, reason));
  }
  EXPECT_EQ(prefixes,
            (std::vector<std::string>{"ListDir failed: ", "GetFile: ", "PutFile: ", "Rename: ",
                                      "Delete: ", "RmDir: ", "MkDir: ", "Disconnect: "}));
}

}  // namespace
