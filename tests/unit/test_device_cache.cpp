// The device cache, the idle watcher and the file operations behind the exports, over in-memory
// devices: connect and reuse, the three ways a device leaves the cache, devices in use (busy
// waits, disconnects of busy devices, the watcher leaving them alone), the idle time-out on an
// injected clock, shut-down order, and the host's view of every file operation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "devices/uDeviceLog.h"
#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uDeviceListing.h"
#include "plugin/uFileOperations.h"
#include "plugin/uHostLog.h"
#include "plugin/uPluginPath.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "registry/uIdleWatcher.h"
#include "serial/uComScan.h"
#include "support/DevSim.h"
#include "util/uDebugLog.h"

namespace {

using namespace std::chrono_literals;

// ---- An in-memory world of devices
// ---------------------------------------------------------------

struct TWorld {
  std::mutex Lock;
  std::vector<std::string> Events;           // "COM5 connect", "COM5 destroy", "COM5 get /a", ...
  std::set<std::string> FailingPorts;        // Connect fails with "Cannot open " + port
  std::map<std::string, std::string> Files;  // "COM5:/a.txt" -> content
  std::string DeleteError;                   // when set, DeleteFile fails with it

  // A gate that GetFile of "/slow" waits at, so a test can hold a device in use.
  std::condition_variable GateChanged;
  bool GateOpen = true;
  int AtGate = 0;

  void Note(const std::string& Event) {
    std::lock_guard<std::mutex> guard(Lock);
    Events.push_back(Event);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<std::string> taken;
    taken.swap(Events);
    return taken;
  }
  void CloseGate() {
    std::lock_guard<std::mutex> guard(Lock);
    GateOpen = false;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> guard(Lock);
    GateOpen = true;
    GateChanged.notify_all();
  }
  bool WaitUntilAtGate(int Count) {
    std::unique_lock<std::mutex> lock(Lock);
    return GateChanged.wait_for(lock, 10s, [&] { return AtGate >= Count; });
  }
  void PassGate() {
    std::unique_lock<std::mutex> lock(Lock);
    ++AtGate;
    GateChanged.notify_all();
    GateChanged.wait_for(lock, 10s, [&] { return GateOpen; });
    --AtGate;
  }
};
TWorld* World = nullptr;

class TFakeDevice : public TShellDevice {
 public:
  explicit TFakeDevice(const std::string& Port) : TShellDevice(Port) {}
  ~TFakeDevice() override { World->Note(PortName + " destroy"); }

  bool Connect() override {
    World->Note(PortName + " connect");
    Version = "Fake " + PortName;
    std::lock_guard<std::mutex> guard(World->Lock);
    if (World->FailingPorts.count(PortName)) {
      LastError = "Cannot open " + PortName;
      return false;
    }
    return true;
  }
  void Disconnect() override { World->Note(PortName + " disconnect"); }
  bool IsConnected() const override { return !Broken; }
  bool Broken = false;
  bool ListDir(const std::string& Path, TShellFileEntries& Entries) override {
    World->Note(PortName + " list " + NormalizeRemotePath(Path));
    Entries.clear();
    std::string prefix = PortName + ":" + NormalizeRemotePath(Path);
    if (prefix.back() != '/') prefix += '/';
    std::lock_guard<std::mutex> guard(World->Lock);
    for (const auto& [key, content] : World->Files) {
      if (key.compare(0, prefix.size(), prefix) != 0) continue;
      TShellFileEntry entry;
      entry.Name = key.substr(prefix.size());
      entry.Size = static_cast<int64_t>(content.size());
      Entries.push_back(entry);
    }
    return true;
  }
  bool GetFileSize(const std::string& Path, int64_t& Size) override {
    World->Note(PortName + " size " + NormalizeRemotePath(Path));
    if (NormalizeRemotePath(Path) == "/break") Broken = true;  // as a stalled upload leaves it
    std::lock_guard<std::mutex> guard(World->Lock);
    auto it = World->Files.find(Key(Path));
    if (it == World->Files.end()) return false;
    Size = static_cast<int64_t>(it->second.size());
    return true;
  }
  TPathState ProbePath(const std::string& Path, int64_t& Size) override {
    return GetFileSize(Path, Size) ? TPathState::Exists : TPathState::Absent;
  }
  bool GetFile(const std::string& RemotePath, const std::string& LocalPath,
               const TTransferProgress& OnProgress, void* ProgressData) override {
    std::string path = NormalizeRemotePath(RemotePath);
    World->Note(PortName + " get " + path);
    if (path == "/slow") World->PassGate();
    std::string content;
    {
      std::lock_guard<std::mutex> guard(World->Lock);
      auto it = World->Files.find(Key(RemotePath));
      if (it == World->Files.end()) {
        LastError = "File not found: " + RemotePath;
        return false;
      }
      content = it->second;
    }
    int64_t total = static_cast<int64_t>(content.size());
    for (int64_t done : {int64_t{0}, total / 2, total}) {
      if (!ReportProgress(OnProgress, ProgressData, done, total)) {
        LastError = "User abort";
        return false;
      }
    }
    return WriteLocalFile(LocalPath, content);
  }
  bool PutFile(const std::string& LocalPath, const std::string& RemotePath,
               const TTransferProgress& OnProgress, void* ProgressData) override {
    World->Note(PortName + " put " + NormalizeRemotePath(RemotePath));
    std::string content;
    if (!ReadLocalFile(LocalPath, content)) {
      LastError = "Local file not found: " + LocalPath;
      return false;
    }
    int64_t total = static_cast<int64_t>(content.size());
    for (int64_t done : {int64_t{0}, total}) {
      if (!ReportProgress(OnProgress, ProgressData, done, total)) {
        LastError = "User abort";
        return false;
      }
    }
    std::lock_guard<std::mutex> guard(World->Lock);
    World->Files[Key(RemotePath)] = content;
    return true;
  }
  bool DeleteFile(const std::string& Path) override {
    World->Note(PortName + " delete " + NormalizeRemotePath(Path));
    std::lock_guard<std::mutex> guard(World->Lock);
    if (!World->DeleteError.empty()) {
      LastError = World->DeleteError;
      return false;
    }
    return World->Files.erase(Key(Path)) == 1;
  }
  bool MakeDir(const std::string& Path) override {
    World->Note(PortName + " mkdir " + NormalizeRemotePath(Path));
    return true;
  }
  bool RemoveDir(const std::string& Path) override {
    World->Note(PortName + " rmdir " + NormalizeRemotePath(Path));
    LastError = "Storage error: access denied";
    return false;
  }
  bool RenameFile(const std::string& OldPath, const std::string& NewPath) override {
    World->Note(PortName + " rename " + NormalizeRemotePath(OldPath) + " " +
                NormalizeRemotePath(NewPath));
    std::lock_guard<std::mutex> guard(World->Lock);
    auto it = World->Files.find(Key(OldPath));
    if (it == World->Files.end()) {
      LastError = "File not found: " + OldPath;
      return false;
    }
    World->Files[Key(NewPath)] = it->second;
    World->Files.erase(Key(OldPath));
    return true;
  }
  TDeviceKind GetKind() const override { return dkPortapack; }

 private:
  std::string Key(const std::string& Path) const {
    return PortName + ":" + NormalizeRemotePath(Path);
  }
};

TShellDevicePtr FakeFactory(const std::string& PortName, const std::string& FriendlyName,
                            uint16_t VID, uint16_t PID) {
  TDeviceKind kind = ClassifyDevice(FriendlyName, VID, PID);
  if (kind != dkPortapack && kind != dkFlipper) return nullptr;
  return TShellDevicePtr(new TFakeDevice(PortName));
}

// ---- The host's side
// ----------------------------------------------------------------------------

std::mutex HostLock;
std::vector<std::string> HostLines;  // "3 text" for LogProc, "request text" for RequestProc
std::atomic<int> AbortAtPercent{-1};
std::vector<int> Percents;

void WFX_API RecordLog(int /*nr*/, int type, char* text) {
  std::lock_guard<std::mutex> guard(HostLock);
  HostLines.push_back(std::to_string(type) + " " + (text ? text : "<null>"));
}
BOOL WFX_API RecordRequest(int /*nr*/, int type, char* title, char* text, char* returned,
                           int maxlen) {
  std::lock_guard<std::mutex> guard(HostLock);
  HostLines.push_back("request " + std::to_string(type) + " " + title + " " + text +
                      (returned == nullptr && maxlen == 0 ? "" : " <unexpected buffer>"));
  return TRUE;
}
int WFX_API RecordProgress(int /*nr*/, char* source, char* target, int percent) {
  std::lock_guard<std::mutex> guard(HostLock);
  EXPECT_NE(source, nullptr);
  EXPECT_NE(target, nullptr);
  Percents.push_back(percent);
  return AbortAtPercent.load() >= 0 && percent >= AbortAtPercent.load() ? 1 : 0;
}
void RecordDeviceLog(const std::string& Line) {
  std::lock_guard<std::mutex> guard(HostLock);
  HostLines.push_back("device " + Line);
}
std::vector<std::string> TakeHostLines() {
  std::lock_guard<std::mutex> guard(HostLock);
  std::vector<std::string> taken;
  taken.swap(HostLines);
  return taken;
}
bool Contains(const std::vector<std::string>& Lines, const std::string& Line) {
  for (const std::string& l : Lines)
    if (l == Line) return true;
  return false;
}

std::atomic<uint64_t> FakeNow{1000000};
uint64_t FakeClock() {
  return FakeNow.load();
}

TComPortInfo Port(const std::string& Name, uint16_t VID, uint16_t PID) {
  TComPortInfo info;
  info.PortName = Name;
  info.VID = VID;
  info.PID = PID;
  return info;
}
std::mutex PortsLock;
TComPortInfos Ports;
TComPortInfos FakePorts(const TPortFilter& /*ProbeOnly*/) {
  std::lock_guard<std::mutex> guard(PortsLock);
  return Ports;
}
void SetPorts(TComPortInfos NewPorts) {
  std::lock_guard<std::mutex> guard(PortsLock);
  Ports = std::move(NewPorts);
}

std::string DebugLogText() {
  std::ifstream in(DebugLogPath(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string kPortaPack = "PortaPack (COM5)";
const std::string kFlipper = "Flipper Zero (COM6)";
const std::string kHackRF = "HackRF One (COM7, no shell)";

class DeviceCache : public ::testing::Test {
 protected:
  void SetUp() override {
    World = new TWorld();
    SetPorts(
        {Port("COM5", 0x1D50, 0x6018), Port("COM6", 0x0483, 0x5740), Port("COM7", 0x1D50, 0x6089)});
    SetPortEnumerator(FakePorts);
    SetDeviceFactory(FakeFactory);
    SetTickSource(FakeClock);
    FakeNow.store(1000000);
    DeviceCacheStartup();
    MarkActivity();
    ListRoot();
    DeviceLogProc = RecordDeviceLog;
    LogProc.store(RecordLog);
    RequestProc.store(RecordRequest);
    ProgressProc.store(RecordProgress);
    SetConnectNotify(HostLog);
    AbortAtPercent.store(-1);
    Percents.clear();
    TakeHostLines();
    LogStart_ = DebugLogText().size();
  }
  void TearDown() override {
    IdleWatcherClose();
    DeviceCacheShutdown();
    SetDeviceBusyWaitMs(kDeviceBusyWaitMs);
    SetConnectNotify(nullptr);
    DeviceLogProc = nullptr;
    LogProc.store(nullptr);
    RequestProc.store(nullptr);
    ProgressProc.store(nullptr);
    SetTickSource(nullptr);
    SetDeviceFactory(nullptr);
    SetPortEnumerator(nullptr);
    delete World;
    World = nullptr;
  }
  // Debug log lines written since the test began, without their time stamps.
  std::vector<std::string> NewDebugLines() {
    std::vector<std::string> lines;
    std::istringstream in(DebugLogText().substr(LogStart_));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line.size() > 14 ? line.substr(14) : line);
    }
    return lines;
  }
  void PutRemote(const std::string& Key, const std::string& Content) {
    std::lock_guard<std::mutex> guard(World->Lock);
    World->Files[Key] = Content;
  }
  bool HasRemote(const std::string& Key) {
    std::lock_guard<std::mutex> guard(World->Lock);
    return World->Files.count(Key) == 1;
  }

  // A download from the PortaPack that holds its device until the gate opens.
  std::thread StartHeldDownload() {
    PutRemote("COM5:/slow", "payload");
    World->CloseGate();
    return std::thread([this] {
      EXPECT_EQ(GetFileOperation("\\" + kPortaPack + "\\slow", Local_.Path() + "/slow", 0),
                FS_FILE_OK);
    });
  }

  size_t LogStart_ = 0;
  TScratchDir Local_;
};

// ---- Connect, reuse, refusals
// ---------------------------------------------------------------------

TEST_F(DeviceCache, FirstUseConnectsAndAnnouncesLaterUsesReuseTheDevice) {
  TShellDevice* first;
  {
    TDeviceUse use = GetDevice(kPortaPack);
    ASSERT_TRUE(use);
    first = use.get();
  }
  TDeviceUse again = GetDevice(kPortaPack);
  EXPECT_EQ(again.get(), first);
  EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});
  std::vector<std::string> expected = {"device GetDevice: RootDisplay=[PortaPack (COM5)]",
                                       "device GetDevice: port=COM5",
                                       "device GetDevice: CreateDeviceForPort VID=1D50 PID=6018",
                                       "device GetDevice: calling Connect...",
                                       "device GetDevice: Connect OK, version=Fake COM5",
                                       "1 CONNECT /PortaPack (COM5)",
                                       "device GetDevice: RootDisplay=[PortaPack (COM5)]",
                                       "device GetDevice: cached device found"};
  EXPECT_EQ(TakeHostLines(), expected);
  EXPECT_EQ(LastConnectError(), "");
}

TEST_F(DeviceCache, AFolderRememberedFromAnEarlierRunConnectsBeforeTheRootIsListed) {
  TComPortInfos ports = FakePorts(nullptr);
  SetPorts({});
  ListRoot();  // this run's root list knows no device yet
  SetPorts(ports);
  TakeHostLines();
  EXPECT_TRUE(GetDevice(kPortaPack));
  EXPECT_TRUE(
      Contains(TakeHostLines(), "device GetDevice: not in the root list, listing the root again"));
  EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});
}

TEST_F(DeviceCache, NamesWithoutAShellOrPortGiveNoDevice) {
  struct {
    std::string Name;
    std::string LastLine;  // empty: no log line at all
  } cases[] = {
      {"", ""},
      {kHackRF, "device GetDevice: kind not openable, returning nil"},
      {"PortaPack (COM9)", "device GetDevice: kind not openable, returning nil"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(GetDevice(c.Name)) << c.Name;
    std::vector<std::string> lines = TakeHostLines();
    EXPECT_EQ(lines.empty() ? "" : lines.back(), c.LastLine) << c.Name;
  }
  // Listed a moment ago, gone at the fresh scan of the connect.
  SetPorts({Port("COM6", 0x0483, 0x5740)});
  EXPECT_FALSE(GetDevice(kPortaPack));
  EXPECT_EQ(TakeHostLines().back(), "device GetDevice: CreateDeviceForPort returned nil");
  EXPECT_TRUE(World->Take().empty());  // nothing was created or opened
}

TEST_F(DeviceCache, AFailedConnectIsForgottenAndRemembersItsReasonUntilASuccess) {
  World->FailingPorts.insert("COM5");
  EXPECT_FALSE(GetDevice(kPortaPack));
  EXPECT_EQ(LastConnectError(), "Cannot open COM5");
  EXPECT_EQ(TakeHostLines().back(), "device GetDevice: Connect FAILED: Cannot open COM5");
  // Destroyed through its owner's pointer: disconnected first.
  EXPECT_EQ(World->Take(),
            (std::vector<std::string>{"COM5 connect", "COM5 disconnect", "COM5 destroy"}));
  EXPECT_EQ(CountCachedDevices().Devices, 0u);

  World->FailingPorts.clear();
  EXPECT_TRUE(GetDevice(kPortaPack));
  EXPECT_EQ(LastConnectError(), "");
}

// ---- Leaving the cache
// ------------------------------------------------------------------------------

TEST_F(DeviceCache, DisconnectAndStaleSweepDropDevicesWithNotices) {
  ASSERT_TRUE(GetDevice(kPortaPack));
  ASSERT_TRUE(GetDevice(kFlipper));
  World->Take();
  TakeHostLines();

  DisconnectDevice(kPortaPack);
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM5 disconnect", "COM5 destroy"}));
  EXPECT_EQ(TakeHostLines(), std::vector<std::string>{"2 DISCONNECT /PortaPack (COM5)"});
  DisconnectDevice(kPortaPack);  // a second call does nothing
  EXPECT_TRUE(World->Take().empty());
  EXPECT_TRUE(TakeHostLines().empty());
  EXPECT_TRUE(Contains(NewDebugLines(), "DisconnectDevice: disconnected PortaPack (COM5)"));

  // The Flipper's port disappears: the next root listing drops it.
  SetPorts({Port("COM5", 0x1D50, 0x6018)});
  ListRoot();
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM6 disconnect", "COM6 destroy"}));
  std::vector<std::string> lines = TakeHostLines();
  EXPECT_TRUE(Contains(lines, "device ListRoot: stale device on COM6 - disconnecting"));
  EXPECT_TRUE(Contains(lines, "2 DISCONNECT /Flipper Zero (COM6)"));
  EXPECT_EQ(CountCachedDevices().Devices, 0u);
}

TEST_F(DeviceCache, ADeviceThatLostItsConnectionIsReplacedAtItsNextUse) {
  {
    TDeviceUse use = GetDevice(kFlipper);
    int64_t size = 0;
    use->GetFileSize("/break", size);
  }
  World->Take();
  TakeHostLines();
  TDeviceUse fresh = GetDevice(kFlipper);
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(fresh->IsConnected());
  EXPECT_EQ(World->Take(),
            (std::vector<std::string>{"COM6 disconnect", "COM6 destroy", "COM6 connect"}));
  std::vector<std::string> lines = TakeHostLines();
  EXPECT_TRUE(
      Contains(lines, "device GetDevice: cached device lost its connection - connecting afresh"));
  EXPECT_TRUE(Contains(lines, "2 DISCONNECT /Flipper Zero (COM6)"));
  EXPECT_TRUE(Contains(lines, "1 CONNECT /Flipper Zero (COM6)"));
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
}

// ---- Devices in use
// ---------------------------------------------------------------------------------

TEST_F(DeviceCache, ASecondOperationWaitsForTheFirstWithABound) {
  std::thread transfer = StartHeldDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));

  SetDeviceBusyWaitMs(300);
  auto start = std::chrono::steady_clock::now();
  TDeviceUse busy = GetDevice(kPortaPack);
  EXPECT_FALSE(busy);
  EXPECT_NE(busy.Problem().find("busy"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  // A listing that arrives meanwhile waits and then runs once the transfer is done.
  SetDeviceBusyWaitMs(10000);
  std::thread release([&] {
    std::this_thread::sleep_for(100ms);
    World->OpenGate();
  });
  TDeviceUse later = GetDevice(kPortaPack);
  EXPECT_TRUE(later);
  transfer.join();
  release.join();
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM5 connect", "COM5 get /slow"}));
}

TEST_F(DeviceCache, DisconnectingABusyDeviceFinishesWhenItsOperationEnds) {
  std::thread transfer = StartHeldDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  World->Take();
  TakeHostLines();

  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(DisconnectOperation("/" + kPortaPack));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // did not wait for the transfer
  EXPECT_EQ(TakeHostLines(), std::vector<std::string>{"2 DISCONNECT /PortaPack (COM5)"});
  EXPECT_EQ(CountCachedDevices().Devices, 0u);
  EXPECT_TRUE(World->Take().empty());  // still connected: its operation runs

  World->OpenGate();
  transfer.join();
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM5 disconnect", "COM5 destroy"}));
  std::string copied;
  EXPECT_TRUE(ReadLocalFile(Local_.Path() + "/slow", copied));
  EXPECT_EQ(copied, "payload");

  // The next use connects afresh.
  EXPECT_TRUE(GetDevice(kPortaPack));
  EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});
}

// ---- The idle watcher
// ---------------------------------------------------------------------------------

// Waits (really) until Pred holds, at most 10 s.
template <typename TPred>
bool Eventually(TPred Pred) {
  for (int i = 0; i < 1000; ++i) {
    if (Pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return Pred();
}

TEST_F(DeviceCache, IdleWatcherDisconnectsEverythingAfterFiveIdleMinutesLaterConnectedFirst) {
  ASSERT_TRUE(GetDevice(kPortaPack));
  ASSERT_TRUE(GetDevice(kFlipper));
  World->Take();
  TakeHostLines();
  IdleWatcherStart(20);

  FakeNow.store(LastActivity() + kIdleLimitMs - 1);  // not yet
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(CountCachedDevices().Devices, 2u);

  FakeNow.store(LastActivity() + kIdleLimitMs + 12345);
  ASSERT_TRUE(Eventually([] { return CountCachedDevices().Devices == 0; }));
  EXPECT_EQ(TakeHostLines(), (std::vector<std::string>{"2 DISCONNECT /Flipper Zero (COM6)",
                                                       "2 DISCONNECT /PortaPack (COM5)"}));
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM6 disconnect", "COM6 destroy",
                                                     "COM5 disconnect", "COM5 destroy"}));
  std::vector<std::string> log = NewDebugLines();
  EXPECT_TRUE(Contains(log, "IdleWatcher: timeout after 312s - disconnecting all"));
  EXPECT_TRUE(Contains(log, "DisconnectAllNotify: done"));
  EXPECT_EQ(LastActivity(), FakeNow.load());

  // The next access connects afresh.
  EXPECT_TRUE(GetDevice(kPortaPack));
  EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});
}

TEST_F(DeviceCache, IdleWatcherLeavesAnEmptyCacheAndRecentActivityAlone) {
  IdleWatcherStart(20);
  FakeNow.store(LastActivity() + 10 * kIdleLimitMs);
  std::this_thread::sleep_for(200ms);
  for (const std::string& line : NewDebugLines())
    EXPECT_EQ(line.find("IdleWatcher"), std::string::npos) << line;
  IdleWatcherClose();

  // Activity between the watcher's test and its disconnect: the devices stay.
  ASSERT_TRUE(GetDevice(kPortaPack));
  TakeHostLines();
  MarkActivity();
  DisconnectAllNotify();
  EXPECT_TRUE(Contains(NewDebugLines(), "DisconnectAllNotify: recent activity, skipping"));
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(TakeHostLines().empty());
}

TEST_F(DeviceCache, ADeviceInUseLongerThanTheIdleLimitStaysConnected) {
  std::thread transfer = StartHeldDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  IdleWatcherStart(20);
  FakeNow.store(LastActivity() + 3 * kIdleLimitMs);  // a 15-minute transfer
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(CountCachedDevices().Devices, 1u);

  World->OpenGate();
  transfer.join();
  // Its end was activity: the device stays for another idle period.
  EXPECT_EQ(LastActivity(), FakeNow.load());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_FALSE(Contains(World->Take(), "COM5 destroy"));
}

TEST_F(DeviceCache, ShutDownDestroysEveryDeviceLaterConnectedFirstWithoutNotices) {
  IdleWatcherStart(20);
  ASSERT_TRUE(GetDevice(kPortaPack));
  ASSERT_TRUE(GetDevice(kFlipper));
  World->Take();
  TakeHostLines();
  auto start = std::chrono::steady_clock::now();
  IdleWatcherStop();
  DeviceCacheShutdown();
  IdleWatcherClose();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM6 disconnect", "COM6 destroy",
                                                     "COM5 disconnect", "COM5 destroy"}));
  EXPECT_TRUE(TakeHostLines().empty());
  EXPECT_FALSE(GetDevice(kPortaPack));  // after shut-down nothing is handed out
}

// ---- File operations as the host sees them
// ----------------------------------------------------------

TEST(PluginPath, SplitsRootDisplayAndRemote) {
  struct {
    const char* Path;
    bool Ok;
    const char* Root;
    const char* Remote;
  } cases[] = {
      {"\\PortaPack (COM5)", true, "PortaPack (COM5)", "/"},
      {"\\PortaPack (COM5)\\APPS\\a.txt", true, "PortaPack (COM5)", "\\APPS\\a.txt"},
      {"\\\\x", false, "", "\\x"},
      {"\\", false, "", ""},
      {"", false, "", ""},
      // The Linux host's separator, with the trailing one of its recursive listings.
      {"/PortaPack (ttyACM0)/", true, "PortaPack (ttyACM0)", "/"},
      {"/Flipper Zero (ttyACM1)/ext/My Garage.sub", true, "Flipper Zero (ttyACM1)",
       "/ext/My Garage.sub"},
      {"/", false, "", ""},
  };
  for (const auto& c : cases) {
    std::string root, remote;
    EXPECT_EQ(SplitPluginPath(c.Path, root, remote), c.Ok) << c.Path;
    EXPECT_EQ(root, c.Root) << c.Path;
    if (c.Ok) {
      EXPECT_EQ(remote, c.Remote) << c.Path;
    }
  }
}

TEST(ProgressBridge, PercentOfTotal) {
  struct {
    int64_t Done, Total;
    int32_t Percent;
  } cases[] = {{0, 0, 0},  {5, 0, 0},           {512, 1024, 50},
               {1, 3, 33}, {70000, 70000, 100}, {2500000000LL, 5000000000LL, 50}};
  for (const auto& c : cases)
    EXPECT_EQ(ProgressPercent(c.Done, c.Total), c.Percent) << c.Done << "/" << c.Total;
  // Without a host callback a transfer goes on.
  ProgressProc.store(nullptr);
  TProgressBridge bridge("a", "b");
  EXPECT_TRUE(bridge.Progress(nullptr, 1, 2));
}

TEST_F(DeviceCache, DownloadsHonourExistingFilesOverwriteMoveAndAbort) {
  const std::string remote = "\\" + kPortaPack + "\\a.txt";
  const std::string local = Local_.Path() + "/a.txt";
  PutRemote("COM5:/a.txt", "0123456789");
  ASSERT_TRUE(WriteLocalFile(local, "old"));

  EXPECT_EQ(GetFileOperation(remote, local, 0), FS_FILE_EXISTS);
  EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});  // the device was not asked
  for (int flags : {FS_COPYFLAGS_OVERWRITE, FS_COPYFLAGS_RESUME}) {
    ASSERT_TRUE(WriteLocalFile(local, "old"));
    EXPECT_EQ(GetFileOperation(remote, local, flags), FS_FILE_OK);
    std::string copied;
    EXPECT_TRUE(ReadLocalFile(local, copied));
    EXPECT_EQ(copied, "0123456789");
  }
  EXPECT_EQ(Percents, (std::vector<int>{0, 50, 100, 0, 50, 100}));

  // Abort at the first progress call: the user-abort result and the device's text in the log.
  AbortAtPercent.store(0);
  TakeHostLines();
  EXPECT_EQ(GetFileOperation(remote, local, FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_MOVE),
            FS_FILE_USERABORT);
  EXPECT_TRUE(Contains(TakeHostLines(), "6 GetFile: User abort"));
  EXPECT_TRUE(HasRemote("COM5:/a.txt"));  // a failed move deletes nothing

  AbortAtPercent.store(-1);
  std::remove(local.c_str());
  EXPECT_EQ(GetFileOperation(remote, local, FS_COPYFLAGS_MOVE), FS_FILE_OK);
  EXPECT_FALSE(HasRemote("COM5:/a.txt"));

  // Missing remote file, a path without a device folder, a name not in the root list.
  TakeHostLines();
  EXPECT_EQ(GetFileOperation(remote, local + "2", 0), FS_FILE_READERROR);
  EXPECT_TRUE(Contains(TakeHostLines(), "6 GetFile: File not found: \\a.txt"));
  EXPECT_EQ(GetFileOperation("\\", local + "3", 0), FS_FILE_NOTFOUND);
  EXPECT_EQ(GetFileOperation("\\PortaPack (COM9)\\a.txt", local + "3", 0), FS_FILE_NOTFOUND);
}

TEST_F(DeviceCache, UploadsAskOnceForAnExistingFileAndMoveDeletesTheLocalFile) {
  const std::string remote = "\\" + kPortaPack + "\\b.bin";
  const std::string local = Local_.Path() + "/b.bin";
  ASSERT_TRUE(WriteLocalFile(local, "new content"));
  PutRemote("COM5:/b.bin", "old");

  EXPECT_EQ(PutFileOperation(local, remote, 0), FS_FILE_EXISTS);
  EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM5 connect", "COM5 size /b.bin"}));
  EXPECT_EQ(PutFileOperation(local, remote, FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_MOVE),
            FS_FILE_OK);
  EXPECT_FALSE(platform::LocalFileExists(local));
  {
    std::lock_guard<std::mutex> guard(World->Lock);
    EXPECT_EQ(World->Files["COM5:/b.bin"], "new content");
  }
  // Uploading into the plug-in root itself: the file name would be the device folder.
  ASSERT_TRUE(WriteLocalFile(local, "x"));
  EXPECT_EQ(PutFileOperation(local, "\\b.bin", 0), FS_FILE_NOTFOUND);
  AbortAtPercent.store(0);
  EXPECT_EQ(PutFileOperation(local, remote, FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_MOVE),
            FS_FILE_USERABORT);
  EXPECT_TRUE(platform::LocalFileExists(local));  // a failed move deletes nothing
}

TEST_F(DeviceCache, RenamesStayOnOneDeviceAndNeverLoseTheFile) {
  PutRemote("COM5:/a.txt", "A");
  PutRemote("COM5:/b.txt", "B");
  auto path = [](const std::string& root, const std::string& name) {
    return "\\" + root + "\\" + name;
  };
  // Across two root folders, or renaming a root folder: not supported, nothing connected.
  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "a.txt"), path(kFlipper, "a.txt"), true),
            FS_FILE_NOTSUPPORTED);
  EXPECT_EQ(RenMovFileOperation("\\" + kPortaPack, "\\Other", false), FS_FILE_NOTSUPPORTED);
  EXPECT_TRUE(World->Take().empty());

  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "a.txt"), path(kPortaPack, "b.txt"), false),
            FS_FILE_EXISTS);
  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "a.txt"), path(kPortaPack, "b.txt"), true),
            FS_FILE_OK);
  EXPECT_FALSE(HasRemote("COM5:/a.txt"));
  // Only the letter case changes: on a card that does not tell cases apart the target is the
  // source itself, so the rename is refused and the file stays.
  TakeHostLines();
  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "b.txt"), path(kPortaPack, "B.TXT"), true),
            FS_FILE_WRITEERROR);
  EXPECT_TRUE(HasRemote("COM5:/b.txt"));
  EXPECT_EQ(TakeHostLines().back().rfind("6 Rename: ", 0), 0u);
  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "b.txt"), path(kPortaPack, "b.txt"), false),
            FS_FILE_OK);
  EXPECT_EQ(RenMovFileOperation(path(kPortaPack, "gone"), path(kPortaPack, "c"), false),
            FS_FILE_WRITEERROR);
  EXPECT_TRUE(Contains(TakeHostLines(), "6 Rename: File not found: \\gone"));
}

TEST_F(DeviceCache, RenameReadsOnlyTheLowByteOfTheHostsBooleans) {
  // Double Commander 1.0 on Linux passes FsRenMovFile's BOOLs as one-byte Booleans: the upper
  // bytes are whatever the register held before.
  PutRemote("COM5:/a.txt", "A");
  PutRemote("COM5:/b.txt", "B");
  std::string oldName = "/" + kPortaPack + "/a.txt";
  std::string newName = "/" + kPortaPack + "/b.txt";
  EXPECT_EQ(FsRenMovFile(oldName.data(), newName.data(), 0x7F01, 0x100, nullptr), FS_FILE_EXISTS);
  EXPECT_EQ(FsRenMovFile(oldName.data(), newName.data(), 0x100, 0x201, nullptr), FS_FILE_OK);
  EXPECT_FALSE(HasRemote("COM5:/a.txt"));
}

TEST_F(DeviceCache, DeleteMkDirRmDirAndDisconnectReportThroughTheirPrefixes) {
  PutRemote("COM5:/x", "1");
  const std::string root = "\\" + kPortaPack;
  EXPECT_TRUE(DeleteFileOperation(root + "\\x"));
  World->DeleteError = "Error calling delete_file: 7 denied";
  EXPECT_FALSE(DeleteFileOperation(root + "\\x"));
  EXPECT_TRUE(MkDirOperation(root + "\\NEW"));
  EXPECT_FALSE(RemoveDirOperation(root + "\\FULL"));
  EXPECT_FALSE(MkDirOperation("\\NewFolder"));  // directly under the plug-in root
  std::vector<std::string> lines = TakeHostLines();
  EXPECT_TRUE(Contains(lines, "6 Delete: Error calling delete_file: 7 denied"));
  EXPECT_TRUE(Contains(lines, "6 RmDir: Storage error: access denied"));

  EXPECT_TRUE(DisconnectOperation("\\" + kFlipper));  // not connected: changes nothing
  EXPECT_FALSE(DisconnectOperation("\\"));
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(DisconnectOperation(root));
  EXPECT_EQ(CountCachedDevices().Devices, 0u);
}

TEST_F(DeviceCache, DeviceFoldersListOrExplainInGerman) {
  PutRemote("COM5:/DIR/one", "1");
  PutRemote("COM5:/DIR/two", "22");
  WIN32_FIND_DATAA data;
  HANDLE h = FsFindFirst(const_cast<char*>("\\PortaPack (COM5)\\DIR"), &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "one");
  ASSERT_TRUE(FsFindNext(h, &data));
  EXPECT_STREQ(data.cFileName, "two");
  EXPECT_FALSE(FsFindNext(h, &data));
  FsFindClose(h);

  // An empty folder exists and is empty: "no more files" without a handle, so that no host shows
  // the zeroed find data as a nameless file.
  h = FsFindFirst(const_cast<char*>("\\PortaPack (COM5)\\EMPTY"), &data);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::GetLastErrorCode(), ERROR_NO_MORE_FILES);
  EXPECT_EQ(data.cFileName[0], '\0');

  // The HackRF folder and a failed connect: the message box, each form once per attempt.
  TakeHostLines();
  EXPECT_EQ(FsFindFirst(const_cast<char*>("\\HackRF One (COM7, no shell)"), &data),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::GetLastErrorCode(), ERROR_PATH_NOT_FOUND);
  World->FailingPorts.insert("COM6");
  EXPECT_EQ(FsFindFirst(const_cast<char*>("\\Flipper Zero (COM6)\\ext"), &data),
            INVALID_HANDLE_VALUE);
  std::vector<std::string> requests;
  for (const std::string& line : TakeHostLines())
    if (line.rfind("request", 0) == 0) requests.push_back(line);
  EXPECT_EQ(requests,
            (std::vector<std::string>{
                "request 8 Quarnel Verbindung zu \"HackRF One (COM7, no shell)\" fehlgeschlagen."
                "\r\n",
                "request 8 Quarnel Verbindung fehlgeschlagen:\r\nCannot open COM6\r\n\r\n"
                "Der Port wird moeglicherweise von einer anderen\r\n"
                "Anwendung verwendet (z.B. Arduino IDE, PuTTY)."}));
  // A path that cannot be split shows nothing.
  EXPECT_EQ(FsFindFirst(const_cast<char*>("\\\\x"), &data), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(TakeHostLines().empty());
}

TEST_F(DeviceCache, ListingOnOneThreadWhileATransferRunsOnAnother) {
  PutRemote("COM5:/DIR/f", "x");
  PutRemote("COM6:/ext/big", std::string(100000, 'b'));
  std::atomic<bool> done{false};
  std::thread transfer([&] {
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(GetFileOperation("\\" + kFlipper + "\\ext\\big", Local_.Path() + "/big",
                                 FS_COPYFLAGS_OVERWRITE),
                FS_FILE_OK);
    done.store(true);
  });
  int listings = 0;
  while (!done.load() || listings < 20) {
    for (const char* path : {"\\PortaPack (COM5)\\DIR", "\\Flipper Zero (COM6)\\ext"}) {
      WIN32_FIND_DATAA data;
      HANDLE h = FsFindFirst(const_cast<char*>(path), &data);
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
      FsFindClose(h);
    }
    ++listings;
  }
  transfer.join();
  std::string copied;
  EXPECT_TRUE(ReadLocalFile(Local_.Path() + "/big", copied));
  EXPECT_EQ(copied.size(), 100000u);
}

}  // namespace
