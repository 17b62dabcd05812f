// The device cache, the idle watcher and the file operations behind the exports, over in-memory
// devices: connect and reuse, the three ways a device leaves the cache, devices in use (busy
// waits, disconnects of busy devices, the watcher leaving them alone), the idle time-out on an
// injected clock, shut-down order, and the host's view of every file operation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "devices/uDeviceLog.h"
#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uDeviceListing.h"
#include "plugin/uExecute.h"
#include "plugin/uFileOperations.h"
#include "plugin/uHostLog.h"
#include "plugin/uOperationStatus.h"
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
  std::set<std::string> OpenPorts;           // a port opens once at a time, as a real one
  std::map<std::string, std::string> Files;  // "COM5:/a.txt" -> content
  std::string DeleteError;                   // when set, DeleteFile fails with it
  std::string DownloadError;  // when set, GetFile fails with it half-way (the local path after it)
  bool BreakAtGate = false;   // "/slow" leaves its device with a lost connection
  // Downloads pause between their two halves, as the drivers do between two blocks.
  std::atomic<bool> Pauses{true};
  std::string DescribeError;  // when set, Describe fails with it

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
    if (World->FailingPorts.count(PortName) || !World->OpenPorts.insert(PortName).second) {
      LastError = "Cannot open " + PortName;
      return false;
    }
    Open_ = true;
    MarkInStep();
    return true;
  }
  void Disconnect() override {
    World->Note(PortName + " disconnect");
    std::lock_guard<std::mutex> guard(World->Lock);
    if (Open_) World->OpenPorts.erase(PortName);
    Open_ = false;
  }
  bool IsConnected() const override { return !Broken; }
  std::atomic<bool> Broken{false};
  bool ListDir(const std::string& Path, TShellFileEntries& Entries) override {
    TOneAtATime inside(*this);
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
    TOneAtATime inside(*this);
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
  bool PausesBetweenBlocks(TTransferDirection Direction) const override {
    return Direction == TTransferDirection::Download && World->Pauses.load();
  }
  bool Describe(std::vector<std::string>& Lines) override {
    TOneAtATime inside(*this);
    World->Note(PortName + " describe");
    std::lock_guard<std::mutex> guard(World->Lock);
    LastError = World->DescribeError;
    Lines.clear();
    if (LastError.empty()) Lines = {"Firmware: fake", "Card: none"};
    return LastError.empty();
  }
  // As the drivers do it: the local file is created (or emptied) first and written as the blocks
  // arrive (two halves, the device's owner may lend it between them), and removed when the
  // transfer fails. A path that begins with "/slow" waits at the gate first; one that holds
  // "blocks" notes each half.
  bool GetFile(const std::string& RemotePath, const std::string& LocalPath,
               const TTransferProgress& OnProgress, void* ProgressData) override {
    std::optional<TOneAtATime> inside(std::in_place, *this);
    std::string path = NormalizeRemotePath(RemotePath);
    World->Note(PortName + " get " + path);
    const bool noteBlocks = path.find("blocks") != std::string::npos;
    if (path.rfind("/slow", 0) == 0) {
      World->PassGate();
      if (World->BreakAtGate) Broken = true;
    }
    std::string content, downloadError;
    {
      std::lock_guard<std::mutex> guard(World->Lock);
      auto it = World->Files.find(Key(RemotePath));
      if (it == World->Files.end()) {
        LastError = "File not found: " + RemotePath;
        return false;
      }
      content = it->second;
      downloadError = World->DownloadError;
    }
    std::ofstream local(LocalPath, std::ios::binary | std::ios::trunc);
    if (!local) {
      LastError = "Cannot create local file: " + LocalPath;
      return false;
    }
    auto fail = [&](const std::string& Reason) {
      local.close();
      std::remove(LocalPath.c_str());
      LastError = Reason;
      return false;
    };
    const int64_t total = static_cast<int64_t>(content.size());
    const int64_t half = total / 2;
    if (!ReportProgress(OnProgress, ProgressData, 0, total)) return fail("User abort");
    if (noteBlocks) World->Note(PortName + " block 1");
    local.write(content.data(), static_cast<std::streamsize>(half));
    local.flush();
    if (!downloadError.empty()) return fail(downloadError + LocalPath);
    if (!ReportProgress(OnProgress, ProgressData, half, total)) return fail("User abort");
    inside.reset();  // at the prompt between two blocks
    if (!PauseBetweenBlocks()) return fail(LastError);
    inside.emplace(*this);
    if (noteBlocks) World->Note(PortName + " block 2");
    local.write(content.data() + half, static_cast<std::streamsize>(total - half));
    local.flush();
    if (!ReportProgress(OnProgress, ProgressData, total, total)) return fail("User abort");
    local.close();
    return local.good() || fail("Cannot write local file: " + LocalPath);
  }
  bool PutFile(const std::string& LocalPath, const std::string& RemotePath,
               const TTransferProgress& OnProgress, void* ProgressData) override {
    TOneAtATime inside(*this);
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
    TOneAtATime inside(*this);
    World->Note(PortName + " delete " + NormalizeRemotePath(Path));
    std::lock_guard<std::mutex> guard(World->Lock);
    if (!World->DeleteError.empty()) {
      LastError = World->DeleteError;
      return false;
    }
    return World->Files.erase(Key(Path)) == 1;
  }
  bool MakeDir(const std::string& Path) override {
    TOneAtATime inside(*this);
    World->Note(PortName + " mkdir " + NormalizeRemotePath(Path));
    return true;
  }
  bool RemoveDir(const std::string& Path) override {
    TOneAtATime inside(*this);
    World->Note(PortName + " rmdir " + NormalizeRemotePath(Path));
    LastError = "Storage error: access denied";
    return false;
  }
  bool RenameFile(const std::string& OldPath, const std::string& NewPath) override {
    TOneAtATime inside(*this);
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
  // A device takes one operation at a time; the cache must never run two at once on it. Each
  // operation of the fake marks itself inside and lingers a moment, so that an overlap shows.
  class TOneAtATime {
   public:
    explicit TOneAtATime(TFakeDevice& Device) : Device_(Device) {
      if (Device_.Inside_.exchange(true))
        ADD_FAILURE() << "two operations at once on " << Device_.PortName;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ~TOneAtATime() { Device_.Inside_.store(false); }
    TOneAtATime(const TOneAtATime&) = delete;
    TOneAtATime& operator=(const TOneAtATime&) = delete;

   private:
    TFakeDevice& Device_;
  };

  std::string Key(const std::string& Path) const {
    return PortName + ":" + NormalizeRemotePath(Path);
  }
  bool Open_ = false;  // this object holds its port open
  std::atomic<bool> Inside_{false};
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
std::vector<std::string> ProgressNames;  // "source -> target" of each progress call
// Runs at each progress call, on the transfer's thread.
std::function<void()> ProgressProbe;

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
  ProgressNames.push_back(std::string(source ? source : "") + " -> " + (target ? target : ""));
  if (ProgressProbe) ProgressProbe();
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
size_t CountHostLines(const std::string& Line) {
  std::lock_guard<std::mutex> guard(HostLock);
  return static_cast<size_t>(std::count(HostLines.begin(), HostLines.end(), Line));
}
bool Contains(const std::vector<std::string>& Lines, const std::string& Line) {
  for (const std::string& l : Lines)
    if (l == Line) return true;
  return false;
}
bool StartsWith(const std::string& Text, const std::string& Head) {
  return Text.compare(0, Head.size(), Head) == 0;
}

std::atomic<uint64_t> FakeNow{1000000};
// When armed, the clock's next reading first runs ClockProbe, once: a test puts another thread's
// step exactly at a point where the code under test reads the clock.
std::atomic<bool> ClockProbeArmed{false};
std::function<void()> ClockProbe;
uint64_t FakeClock() {
  if (ClockProbeArmed.exchange(false)) ClockProbe();
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
// Scans that would have opened a port for the presence test.
std::atomic<int> ProbingScans{0};
TComPortInfos FakePorts(const TPortFilter& ProbeOnly) {
  std::lock_guard<std::mutex> guard(PortsLock);
  if (!ProbeOnly || std::any_of(Ports.begin(), Ports.end(), ProbeOnly)) ++ProbingScans;
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

// Waits (really) until Pred holds, at most 10 s.
template <typename TPred>
bool Eventually(TPred Pred) {
  for (int i = 0; i < 1000; ++i) {
    if (Pred()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return Pred();
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
    ProgressNames.clear();
    ProgressProbe = nullptr;
    ClockProbeArmed.store(false);
    TakeHostLines();
    LogStart_ = DebugLogText().size();
  }
  void TearDown() override {
    ClockProbeArmed.store(false);
    ProgressProbe = nullptr;
    IdleWatcherClose();
    DeviceCacheShutdown();
    SetDeviceBusyWaitMs(kDeviceBusyWaitMs);
    SetBrowseWaitsMs(kTransferTurnWaitMs, kUnpausedTransferWaitMs);
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

  // A download from the PortaPack to LocalName in the scratch folder that holds its device until
  // the gate opens.
  std::thread StartHeldDownload(const std::string& LocalName = "slow") {
    PutRemote("COM5:/slow", "payload");
    World->CloseGate();
    return std::thread([this, LocalName] {
      EXPECT_EQ(GetFileOperation("\\" + kPortaPack + "\\slow", Local_.Path() + "/" + LocalName,
                                 FS_COPYFLAGS_OVERWRITE),
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

// FsDisconnect, and a root listing that no longer finds the port, take a busy device out of the
// cache at once; the device itself goes when its operation has ended.
TEST_F(DeviceCache, ABusyDeviceTakenOutOfTheCacheGoesWhenItsOperationEnds) {
  struct {
    const char* Way;
    std::function<void()> TakeOut;
    std::string Line;  // the way's own line in the host's log, besides the DISCONNECT
  } cases[] = {
      {"FsDisconnect", [] { EXPECT_TRUE(DisconnectOperation("/" + kPortaPack)); }, ""},
      {"stale sweep",
       [] {
         SetPorts({Port("COM6", 0x0483, 0x5740), Port("COM7", 0x1D50, 0x6089)});
         ListRoot();
       },
       "device ListRoot: stale device on COM5 - disconnecting"},
  };
  const TComPortInfos ports = FakePorts(nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Way);
    std::thread transfer = StartHeldDownload(c.Way);
    ASSERT_TRUE(World->WaitUntilAtGate(1));
    World->Take();
    TakeHostLines();

    auto start = std::chrono::steady_clock::now();
    c.TakeOut();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // did not wait for the transfer
    std::vector<std::string> lines = TakeHostLines();
    EXPECT_TRUE(Contains(lines, "2 DISCONNECT /PortaPack (COM5)"));
    EXPECT_TRUE(c.Line.empty() || Contains(lines, c.Line));
    EXPECT_EQ(CountCachedDevices().Devices, 0u);
    EXPECT_TRUE(World->Take().empty());  // still connected: its operation runs

    World->OpenGate();
    transfer.join();
    EXPECT_EQ(World->Take(), (std::vector<std::string>{"COM5 disconnect", "COM5 destroy"}));
    std::string copied;
    EXPECT_TRUE(ReadLocalFile(Local_.Path() + "/" + c.Way, copied));
    EXPECT_EQ(copied, "payload");

    // The next use connects afresh.
    SetPorts(ports);
    ListRoot();
    EXPECT_TRUE(GetDevice(kPortaPack));
    EXPECT_EQ(World->Take(), std::vector<std::string>{"COM5 connect"});
    DisconnectDevice(kPortaPack);
    World->Take();
  }
}

// An operation that waited for a device which meanwhile left the cache (FsDisconnect, or another
// operation that found its connection lost) connects afresh once the old device is gone: never
// on the port the old one still holds open.
TEST_F(DeviceCache, OperationsThatWaitedForADeviceTakenOutConnectAfresh) {
  struct {
    const char* Way;
    bool Disconnect;  // else the held operation leaves the device with a lost connection
  } cases[] = {{"FsDisconnect", true}, {"lost connection", false}};
  PutRemote("COM5:/a.txt", "A");
  const std::string remote = "\\" + kPortaPack + "\\a.txt";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Way);
    World->BreakAtGate = !c.Disconnect;
    std::thread transfer = StartHeldDownload(c.Way);
    ASSERT_TRUE(World->WaitUntilAtGate(1));
    TakeHostLines();
    std::atomic<int> copied{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
      waiters.emplace_back([&, i] {
        const std::string local = Local_.Path() + "/" + c.Way + std::to_string(i);
        if (GetFileOperation(remote, local, FS_COPYFLAGS_OVERWRITE) == FS_FILE_OK) ++copied;
      });
    // Both have found the cached device and wait for it.
    ASSERT_TRUE(
        Eventually([] { return CountHostLines("device GetDevice: cached device found") == 2; }));
    if (c.Disconnect) DisconnectDevice(kPortaPack);
    World->Take();
    World->OpenGate();
    transfer.join();
    for (std::thread& waiter : waiters) waiter.join();

    EXPECT_EQ(copied.load(), 2);
    std::vector<std::string> events = World->Take();
    auto destroyed = std::find(events.begin(), events.end(), "COM5 destroy");
    auto connected = std::find(events.begin(), events.end(), "COM5 connect");
    EXPECT_EQ(std::count(events.begin(), events.end(), "COM5 connect"), 1);
    EXPECT_LT(destroyed, connected);
    EXPECT_EQ(CountCachedDevices().Devices, 1u);
    World->BreakAtGate = false;
    DisconnectDevice(kPortaPack);
  }
}

// ---- The idle watcher
// ---------------------------------------------------------------------------------

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

// The decision under RegistryLock itself, without the watcher's early look at the use counts in
// front of it: a device in use keeps everything connected, however old the stamp.
TEST_F(DeviceCache, TheDisconnectOfEverythingLeavesADeviceInUseAlone) {
  std::thread transfer = StartHeldDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  FakeNow.store(LastActivity() + 3 * kIdleLimitMs);
  TakeHostLines();
  DisconnectAllNotify();
  EXPECT_TRUE(Contains(NewDebugLines(), "DisconnectAllNotify: recent activity, skipping"));
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(TakeHostLines().empty());
  World->OpenGate();
  transfer.join();
  EXPECT_FALSE(Contains(World->Take(), "COM5 destroy"));
}

// An operation that ran past the idle limit ends as activity before its device counts as idle: the
// watcher, deciding at that very moment, finds the device in use or the stamp fresh.
TEST_F(DeviceCache, TheEndOfALongOperationIsActivityBeforeItLetsGoOfTheDevice) {
  TDeviceUse use = GetDevice(kPortaPack);
  ASSERT_TRUE(use);
  FakeNow.store(LastActivity() + kIdleLimitMs + 1000);
  TakeHostLines();
  // The watcher decides when the operation's end reads the clock to mark activity.
  ClockProbe = [] { DisconnectAllNotify(); };
  ClockProbeArmed.store(true);
  use = TDeviceUse();
  EXPECT_FALSE(ClockProbeArmed.load());
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(TakeHostLines().empty());
  EXPECT_EQ(LastActivity(), FakeNow.load());
}

// A host thread that marks activity between the watcher's two readings leaves a stamp newer than
// the watcher's "now": that is no idle time, not an idle time that wraps round to 584 million
// years.
TEST_F(DeviceCache, AStampNewerThanTheClockIsNoIdleTime) {
  ASSERT_TRUE(GetDevice(kPortaPack));
  TakeHostLines();
  SetLastActivity(FakeNow.load() + 5);
  EXPECT_EQ(IdleTimeMs(), 0u);
  DisconnectAllNotify();
  EXPECT_TRUE(Contains(NewDebugLines(), "DisconnectAllNotify: recent activity, skipping"));
  IdleWatcherStart(20);
  std::this_thread::sleep_for(200ms);
  IdleWatcherClose();
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(TakeHostLines().empty());
  for (const std::string& line : NewDebugLines())
    EXPECT_EQ(line.find("IdleWatcher: timeout"), std::string::npos) << line;
}

// The unload sets the watcher's flag and passes RegistryLock; a watcher that looked at its flag
// just before must not then disconnect everything and call the host, which sits in its unload.
TEST_F(DeviceCache, TheWatchersDisconnectStopsOnceTheUnloadHasBegun) {
  ASSERT_TRUE(GetDevice(kPortaPack));
  World->Take();
  TakeHostLines();
  FakeNow.store(LastActivity() + 2 * kIdleLimitMs);
  std::atomic<bool> terminated{true};
  DisconnectAllNotify(&terminated);
  EXPECT_EQ(CountCachedDevices().Devices, 1u);
  EXPECT_TRUE(TakeHostLines().empty());
  EXPECT_TRUE(World->Take().empty());
  terminated.store(false);
  DisconnectAllNotify(&terminated);
  EXPECT_EQ(CountCachedDevices().Devices, 0u);
  EXPECT_EQ(TakeHostLines(), std::vector<std::string>{"2 DISCONNECT /PortaPack (COM5)"});
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

// The names in the progress display are the host's: the full plug-in path and the local name as
// it handed them over, whatever file the download writes meanwhile.
TEST_F(DeviceCache, ProgressShowsTheHostsNamesAsSourceAndTarget) {
  PutRemote("COM5:/a.txt", "0123456789");
  const std::string remote = "\\" + kPortaPack + "\\a.txt";
  const std::string upRemote = "\\" + kPortaPack + "\\b.txt";
  const std::string local = Local_.Path() + "/a.txt";
  ASSERT_TRUE(WriteLocalFile(local, "old"));
  EXPECT_EQ(GetFileOperation(remote, local, FS_COPYFLAGS_OVERWRITE), FS_FILE_OK);
  EXPECT_EQ(PutFileOperation(local, upRemote, 0), FS_FILE_OK);
  const std::string down = remote + " -> " + local;
  const std::string up = local + " -> " + upRemote;
  EXPECT_EQ(ProgressNames, (std::vector<std::string>{down, down, down, up, up}));
}

// An existing file is replaced only by a complete download: whether the user aborts (at the
// start, half-way, or with every byte already written) or the device fails, the old file stays
// byte for byte, and at no moment does the target hold a part of the new one. Nothing else is
// left in the folder.
TEST_F(DeviceCache, AFailedOrAbortedDownloadNeverCostsTheUserTheirFile) {
  const std::string content = "the newer report, from the device";
  const std::string old = "the older report, still wanted";
  PutRemote("COM5:/report.txt", content);
  const std::string remote = "\\" + kPortaPack + "\\report.txt";
  const std::string local = Local_.Path() + "/report.txt";
  struct {
    const char* What;
    int Flags;
    int AbortAt;
    const char* DeviceError;
    int Result;
  } cases[] = {
      {"abort at the start", FS_COPYFLAGS_OVERWRITE, 0, "", FS_FILE_USERABORT},
      {"abort half-way", FS_COPYFLAGS_OVERWRITE, 50, "", FS_FILE_USERABORT},
      {"abort with every byte written", FS_COPYFLAGS_OVERWRITE, 100, "", FS_FILE_USERABORT},
      {"resume, abort half-way", FS_COPYFLAGS_RESUME, 50, "", FS_FILE_USERABORT},
      {"move, abort half-way", FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_MOVE, 50, "",
       FS_FILE_USERABORT},
      {"device fails half-way", FS_COPYFLAGS_OVERWRITE, -1,
       "Cannot write local file: ", FS_FILE_READERROR},
  };
  std::vector<std::string> seen;  // the target's content at each progress call
  ProgressProbe = [&] {
    std::string now;
    ReadLocalFile(local, now);
    seen.push_back(now);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    ASSERT_TRUE(WriteLocalFile(local, old));
    AbortAtPercent.store(c.AbortAt);
    World->DownloadError = c.DeviceError;
    seen.clear();
    TakeHostLines();
    EXPECT_EQ(GetFileOperation(remote, local, c.Flags), c.Result);
    std::string kept;
    EXPECT_TRUE(ReadLocalFile(local, kept));
    EXPECT_EQ(kept, old);
    EXPECT_FALSE(seen.empty());
    for (const std::string& during : seen) EXPECT_EQ(during, old);
    EXPECT_TRUE(HasRemote("COM5:/report.txt"));
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(Local_.Path()))
      files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"report.txt"});
    // The reason names the host's file, not the one the download was written to.
    std::vector<std::string> lines = TakeHostLines();
    if (c.Result == FS_FILE_READERROR) {
      EXPECT_TRUE(Contains(lines, "6 GetFile: Cannot write local file: " + local));
    } else {
      EXPECT_TRUE(Contains(lines, "6 GetFile: User abort"));
    }
  }
  // A download to a new name that fails leaves no file at all.
  ASSERT_EQ(std::remove(local.c_str()), 0);
  World->DownloadError.clear();
  AbortAtPercent.store(100);
  EXPECT_EQ(GetFileOperation(remote, local, 0), FS_FILE_USERABORT);
  EXPECT_TRUE(std::filesystem::is_empty(Local_.Path()));
  // And one that succeeds replaces the file.
  AbortAtPercent.store(-1);
  ASSERT_TRUE(WriteLocalFile(local, old));
  EXPECT_EQ(GetFileOperation(remote, local, FS_COPYFLAGS_OVERWRITE), FS_FILE_OK);
  std::string replaced;
  EXPECT_TRUE(ReadLocalFile(local, replaced));
  EXPECT_EQ(replaced, content);
}

// The download takes the place of the file the user overwrites as that file was: reached through a
// link, it is replaced where it lies and the link stays; a private file stays private; a
// read-only one is not replaced at all.
TEST_F(DeviceCache, AnOverwritingDownloadKeepsWhatTheReplacedFileWas) {
  namespace fs = std::filesystem;
  PutRemote("COM5:/r.txt", "new");
  const std::string remote = "\\" + kPortaPack + "\\r.txt";
  const std::string dir = Local_.Path();
  fs::create_directory(dir + "/real");
  ASSERT_TRUE(WriteLocalFile(dir + "/real/r.txt", "old"));
  fs::create_symlink("real/r.txt", dir + "/link.txt");
  EXPECT_EQ(GetFileOperation(remote, dir + "/link.txt", FS_COPYFLAGS_OVERWRITE), FS_FILE_OK);
  EXPECT_TRUE(fs::is_symlink(dir + "/link.txt"));
  std::string got;
  EXPECT_TRUE(ReadLocalFile(dir + "/real/r.txt", got));
  EXPECT_EQ(got, "new");

  ASSERT_TRUE(WriteLocalFile(dir + "/private.txt", "old"));
  fs::permissions(dir + "/private.txt", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(GetFileOperation(remote, dir + "/private.txt", FS_COPYFLAGS_OVERWRITE), FS_FILE_OK);
  EXPECT_EQ(fs::status(dir + "/private.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(WriteLocalFile(dir + "/readonly.txt", "old"));
  fs::permissions(dir + "/readonly.txt", fs::perms::owner_read);
  TakeHostLines();
  if (access((dir + "/readonly.txt").c_str(), W_OK) != 0) {  // not when the tests run as root
    EXPECT_EQ(GetFileOperation(remote, dir + "/readonly.txt", FS_COPYFLAGS_OVERWRITE),
              FS_FILE_WRITEERROR);
    EXPECT_TRUE(Contains(TakeHostLines(), "6 GetFile: Cannot write local file (read-only): " + dir +
                                              "/readonly.txt"));
    EXPECT_TRUE(ReadLocalFile(dir + "/readonly.txt", got));
    EXPECT_EQ(got, "old");
  }
  // A folder that does not exist: nothing is asked of the device.
  World->Take();
  EXPECT_EQ(GetFileOperation(remote, dir + "/missing/r.txt", 0), FS_FILE_WRITEERROR);
  EXPECT_TRUE(World->Take().empty());
}

// While another operation holds the device, every export answers at once with its own failure,
// the reason in the host's log behind its prefix, and no message box. A listing says that a copy
// keeps the device busy.
TEST_F(DeviceCache, EveryExportReportsABusyDeviceInItsOwnWay) {
  std::thread transfer = StartHeldDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  SetDeviceBusyWaitMs(50);
  SetBrowseWaitsMs(50, 50);
  World->Take();
  const std::string local = Local_.Path() + "/up.txt";
  ASSERT_TRUE(WriteLocalFile(local, "x"));
  std::deque<std::string> args;  // the host's writable copies, alive to the end
  auto arg = [&args](const std::string& Text) { return args.emplace_back(Text).data(); };
  const std::string root = "\\" + kPortaPack;
  WIN32_FIND_DATAA data;
  struct {
    const char* Export;
    std::function<intptr_t()> Call;
    intptr_t Result;
    const char* Prefix;
    const char* Reason = "Device is busy with another operation; try again when it has finished";
  } cases[] = {
      {"FsGetFile",
       [&] { return intptr_t{FsGetFile(arg(root + "\\a"), arg(local + "2"), 0, nullptr)}; },
       FS_FILE_READERROR, "GetFile: "},
      {"FsPutFile", [&] { return intptr_t{FsPutFile(arg(local), arg(root + "\\b"), 0)}; },
       FS_FILE_WRITEERROR, "PutFile: "},
      {"FsRenMovFile",
       [&] {
         return intptr_t{FsRenMovFile(arg(root + "\\a"), arg(root + "\\b"), FALSE, FALSE, nullptr)};
       },
       FS_FILE_WRITEERROR, "Rename: "},
      {"FsDeleteFile", [&] { return intptr_t{FsDeleteFile(arg(root + "\\a"))}; }, FALSE,
       "Delete: "},
      {"FsRemoveDir", [&] { return intptr_t{FsRemoveDir(arg(root + "\\d"))}; }, FALSE, "RmDir: "},
      {"FsMkDir", [&] { return intptr_t{FsMkDir(arg(root + "\\d"))}; }, FALSE, "MkDir: "},
      {"FsFindFirst",
       [&] { return reinterpret_cast<intptr_t>(FsFindFirst(arg(root + "\\d"), &data)); },
       reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE), "ListDir failed: ",
       "Device is busy with a copy, which did not pause for this within a second; try again in "
       "a moment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Export);
    TakeHostLines();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.Call(), c.Result);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    std::vector<std::string> lines = TakeHostLines();
    EXPECT_TRUE(Contains(lines, std::string("6 ") + c.Prefix + c.Reason));
    for (const std::string& line : lines) EXPECT_FALSE(StartsWith(line, "request")) << line;
  }
  EXPECT_EQ(platform::GetLastErrorCode(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(platform::LocalFileExists(local + "2"));
  World->OpenGate();
  transfer.join();
  EXPECT_EQ(World->Take(), std::vector<std::string>{});  // no busy export reached the device
}

// Only the name of a device folder whose port exists makes a lookup list the root again: any
// other first part of a path is refused at once, without opening a port or sweeping the cache.
TEST_F(DeviceCache, UnknownNamesAreRefusedWithoutLookingAtThePorts) {
  const TComPortInfos ports = FakePorts(nullptr);
  SetPorts({});
  ListRoot();  // this run's root list knows no device yet
  SetPorts(ports);
  ProbingScans.store(0);
  TakeHostLines();
  for (const char* name : {"New folder", "/", "PortaPack (COM9)", "PortaPack COM5",
                           "PortaPack (COM5) ", "Portapack (COM5)", "Flipper Zero  (COM6)x",
                           "HackRF One (COM7, no shell)", "PortaPack (COM5/..)"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(GetDevice(name));
    std::vector<std::string> lines = TakeHostLines();
    EXPECT_FALSE(Contains(lines, "device GetDevice: not in the root list, listing the root again"));
  }
  EXPECT_EQ(ProbingScans.load(), 0);
  EXPECT_TRUE(World->Take().empty());
  // The form of a Flipper folder with its name, whose port exists: listed again and connected.
  EXPECT_TRUE(GetDevice(kFlipper));
  EXPECT_TRUE(
      Contains(TakeHostLines(), "device GetDevice: not in the root list, listing the root again"));
  EXPECT_EQ(ProbingScans.load(), 2);  // the root listing, then the connect's own look at the port
}

TEST(RootEntries, PortOfADeviceFolderName) {
  struct {
    const char* Name;
    const char* Port;
  } cases[] = {
      {"PortaPack (COM5)", "COM5"},
      {"Flipper Zero (ttyACM1)", "ttyACM1"},
      {"Flipper Zero Dolphin (COM12)", "COM12"},
      {"Flipper Zero My (odd) name (COM7)", "COM7"},
      {"HackRF One (COM9, no shell)", ""},
      {"PortaPack(COM5)", ""},
      {"PortaPack (COM5", ""},
      {"PortaPack ()", ""},
      {"PortaPack (..)", ""},
      {"Flipper Zero  (COM5)", ""},
      {"New folder", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PortOfDeviceFolderName(c.Name), c.Port) << c.Name;
}

// ---- Browsing while copying
// -------------------------------------------------------------------------

// A download held at the gate before its first block (StartHeldDownload's file, here one whose
// blocks are noted), and a listing of "\DIR" started on a thread of its own.
class BrowseWhileCopying : public DeviceCache {
 protected:
  std::thread StartHeldBlocksDownload() {
    PutRemote("COM5:/slow-blocks", "0123456789");
    PutRemote("COM5:/DIR/f", "x");
    World->CloseGate();
    return std::thread([this] {
      EXPECT_EQ(GetFileOperation("\\" + kPortaPack + "\\slow-blocks", Local_.Path() + "/blocks",
                                 FS_COPYFLAGS_OVERWRITE),
                FS_FILE_OK);
    });
  }
  // A listing through GetDevice with Task, on a thread of its own: its problem ("" when it
  // listed) and how long it took.
  std::thread StartListing(TDeviceTask Task, std::string& Problem,
                           std::chrono::milliseconds& Took) {
    return std::thread([&Problem, &Took, Task] {
      Problem.clear();
      const auto start = std::chrono::steady_clock::now();
      TDeviceUse use = GetDevice(kPortaPack, Task);
      TShellFileEntries entries;
      if (use && !use->ListDir("/DIR", entries)) Problem = use->LastError;
      if (!use) Problem = use.Problem();
      Took = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
    });
  }
};

// The listing waits while the download is at the gate, takes its turn between the download's two
// blocks, and the download then goes on and ends well.
TEST_F(BrowseWhileCopying, AListingTakesItsTurnBetweenTwoBlocks) {
  SetBrowseWaitsMs(10000, 10000);
  std::thread transfer = StartHeldBlocksDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  std::string problem;
  std::chrono::milliseconds took{};
  std::thread listing = StartListing(TDeviceTask::Browse, problem, took);
  std::this_thread::sleep_for(300ms);  // the listing is waiting by now
  World->OpenGate();
  listing.join();
  transfer.join();
  EXPECT_EQ(problem, "");
  EXPECT_EQ(World->Take(),
            (std::vector<std::string>{"COM5 connect", "COM5 get /slow-blocks", "COM5 block 1",
                                      "COM5 list /DIR", "COM5 block 2"}));
  std::string copied;
  EXPECT_TRUE(ReadLocalFile(Local_.Path() + "/blocks", copied));
  EXPECT_EQ(copied, "0123456789");
  EXPECT_EQ(CountHostLines("device GetDevice: a turn between two blocks of a copy"), 1u);
}

// How long a listing waits behind a copy that gives it no turn: one for the host's window about a
// second (here 20 ms) behind a copy that pauses between its blocks, briefly (20 ms) behind one that
// never pauses, and as long as any operation (here 1000 ms) behind anything else; a listing that is
// a step of a longer operation waits as long as any operation. Each then says why.
TEST_F(BrowseWhileCopying, AListingWaitsForItsTurnAsLongAsItsKindMay) {
  SetBrowseWaitsMs(20, 20);
  SetDeviceBusyWaitMs(1000);
  const std::string paused =
      "Device is busy with a copy, which did not pause for this within a second; try again in a "
      "moment";
  const std::string unpaused =
      "Device is busy with a copy, which it sends in one piece; try again when the copy has "
      "finished";
  const std::string other = "Device is busy with another operation; try again when it has finished";
  struct {
    const char* Case;
    bool Pauses;
    TDeviceTask Task;
    bool Short;  // fails long before the busy wait
    std::string Problem;
  } cases[] = {
      {"panel behind a pausing copy", true, TDeviceTask::Browse, true, paused},
      {"panel behind a copy in one piece", false, TDeviceTask::Browse, true, unpaused},
      {"walk behind a pausing copy", true, TDeviceTask::BrowseInOperation, false, paused},
      {"walk behind a copy in one piece", false, TDeviceTask::BrowseInOperation, false, unpaused},
      {"a change behind a copy", true, TDeviceTask::Other, false, other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Case);
    World->Pauses.store(c.Pauses);
    std::thread transfer = StartHeldBlocksDownload();
    ASSERT_TRUE(World->WaitUntilAtGate(1));
    std::string problem;
    std::chrono::milliseconds took{};
    StartListing(c.Task, problem, took).join();
    World->OpenGate();
    transfer.join();
    EXPECT_EQ(problem, c.Problem);
    if (c.Short)
      EXPECT_LT(took, 900ms);
    else
      EXPECT_GE(took, 1000ms);
    EXPECT_LT(took, 3s);
  }
}

// Only a listing takes a turn: a delete that comes meanwhile waits for the copy's end, and the
// listing that came first runs between the blocks.
TEST_F(BrowseWhileCopying, ChangesWaitForTheEndOfTheCopy) {
  SetBrowseWaitsMs(10000, 10000);
  PutRemote("COM5:/old.txt", "old");
  std::thread transfer = StartHeldBlocksDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  std::string problem;
  std::chrono::milliseconds took{};
  std::thread listing = StartListing(TDeviceTask::Browse, problem, took);
  std::thread change([] { EXPECT_TRUE(DeleteFileOperation("\\" + kPortaPack + "\\old.txt")); });
  std::this_thread::sleep_for(300ms);
  World->OpenGate();
  listing.join();
  change.join();
  transfer.join();
  EXPECT_EQ(problem, "");
  EXPECT_EQ(World->Take(),
            (std::vector<std::string>{"COM5 connect", "COM5 get /slow-blocks", "COM5 block 1",
                                      "COM5 list /DIR", "COM5 block 2", "COM5 delete /old.txt"}));
}

// A device disconnected while a listing waits for its turn: the listing gets the turn and gives it
// back at once, saying so; the copy goes on and ends well, and only then is the device destroyed.
TEST_F(BrowseWhileCopying, ADeviceDisconnectedMeanwhileEndsTheListingNotTheCopy) {
  SetBrowseWaitsMs(10000, 10000);
  std::thread transfer = StartHeldBlocksDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  std::string problem;
  std::chrono::milliseconds took{};
  std::thread listing = StartListing(TDeviceTask::Browse, problem, took);
  std::this_thread::sleep_for(300ms);
  DisconnectDevice(kPortaPack);
  World->OpenGate();
  listing.join();
  transfer.join();
  EXPECT_EQ(problem, "Device was disconnected while this operation waited for it");
  EXPECT_EQ(World->Take(),
            (std::vector<std::string>{"COM5 connect", "COM5 get /slow-blocks", "COM5 block 1",
                                      "COM5 block 2", "COM5 disconnect", "COM5 destroy"}));
}

// The host says what a thread is doing: a panel's listing (no operation, or FS_STATUS_OP_LIST)
// answers at once that a copy keeps the device busy, while a listing on a thread inside another
// operation (a copy walking a folder tree) waits for the copy like any of its steps.
TEST_F(BrowseWhileCopying, TheHostsStatusTellsAPanelFromACopysWalk) {
  World->Pauses.store(false);
  SetBrowseWaitsMs(20, 20);
  std::thread transfer = StartHeldBlocksDownload();
  ASSERT_TRUE(World->WaitUntilAtGate(1));
  char dir[] = "\\PortaPack (COM5)\\DIR";
  WIN32_FIND_DATAA data;
  for (int operation : {0, FS_STATUS_OP_LIST}) {
    SCOPED_TRACE(operation);
    if (operation) FsStatusInfo(dir, FS_STATUS_START, operation);
    TakeHostLines();
    EXPECT_EQ(FsFindFirst(dir, &data), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Contains(TakeHostLines(),
                         "6 ListDir failed: Device is busy with a copy, which it sends in one "
                         "piece; try again when the copy has finished"));
    if (operation) FsStatusInfo(dir, FS_STATUS_END, operation);
  }
  std::atomic<bool> listed{false};
  std::thread walk([&] {
    char path[] = "\\PortaPack (COM5)\\DIR";
    WIN32_FIND_DATAA found;
    FsStatusInfo(path, FS_STATUS_START, FS_STATUS_OP_GET_MULTI_THREAD);
    HANDLE handle = FsFindFirst(path, &found);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE) FsFindClose(handle);
    FsStatusInfo(path, FS_STATUS_END, FS_STATUS_OP_GET_MULTI_THREAD);
    listed.store(true);
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(listed.load());  // still waiting for the copy
  World->OpenGate();
  walk.join();
  transfer.join();
  EXPECT_TRUE(listed.load());
}

// The host's operations per thread: starts nest (a folder made inside an upload), an end closes the
// latest start of its operation, a stray end changes nothing, and other threads are apart.
TEST(OperationStatus, TellsEachThreadsOperation) {
  char dir[] = "\\PortaPack (COM5)\\";
  struct {
    int StartEnd;
    int Operation;
    bool Inside;
  } steps[] = {
      {FS_STATUS_START, FS_STATUS_OP_LIST, false},
      {FS_STATUS_END, FS_STATUS_OP_LIST, false},
      {FS_STATUS_START, FS_STATUS_OP_PUT_MULTI_THREAD, true},
      {FS_STATUS_START, FS_STATUS_OP_MKDIR, true},
      {FS_STATUS_END, FS_STATUS_OP_MKDIR, true},
      {FS_STATUS_END, FS_STATUS_OP_DELETE, true},
      {FS_STATUS_END, FS_STATUS_OP_PUT_MULTI_THREAD, false},
      {FS_STATUS_END, FS_STATUS_OP_GET_SINGLE, false},
  };
  std::thread other([&] { FsStatusInfo(dir, FS_STATUS_START, FS_STATUS_OP_GET_MULTI_THREAD); });
  other.join();
  EXPECT_FALSE(InsideHostOperation());
  for (const auto& step : steps) {
    FsStatusInfo(dir, step.StartEnd, step.Operation);
    EXPECT_EQ(InsideHostOperation(), step.Inside)
        << StatusOperationName(step.Operation) << (step.StartEnd ? " end" : " start");
  }
  EXPECT_EQ(StatusOperationName(FS_STATUS_OP_GET_MULTI_THREAD), "GET_MULTI_THREAD");
  EXPECT_EQ(StatusOperationName(99), "99");
  ReleaseOperationStatus();
}

// ---- FsExecuteFile
// ----------------------------------------------------------------------------------

// "open" leaves the file to the host, "properties" shows a box for the plug-in's root and for a
// device folder (with what the device says about itself, or why it said nothing), and every other
// verb fails.
TEST_F(DeviceCache, ExecuteFileOpensPropertiesAndRefusesOtherVerbs) {
  const std::string pp = "\\" + kPortaPack;
  const std::string pluginBox = "request 8 Quarnel " + PluginPropertiesText();
  const std::string deviceBox = "request 8 Quarnel " + kPortaPack +
                                "\r\n\r\nKind: PortaPack with the Mayhem firmware\r\nPort: COM5"
                                "\r\n\r\nFirmware: fake\r\nCard: none\r\n";
  struct {
    const char* Verb;
    std::string Path;
    int Result;
    std::vector<std::string> Events;
    std::string Box;  // the message box shown, if any
  } cases[] = {
      {"open", pp + "\\a.txt", FS_EXEC_YOURSELF, {}, ""},
      {"Open", "/" + kFlipper + "/ext/a.txt", FS_EXEC_YOURSELF, {}, ""},
      {"properties", "\\", FS_EXEC_OK, {}, pluginBox},
      {"PROPERTIES", "/", FS_EXEC_OK, {}, pluginBox},
      {"properties", pp, FS_EXEC_OK, {"COM5 connect", "COM5 describe"}, deviceBox},
      {"properties", pp + "\\", FS_EXEC_OK, {"COM5 describe"}, deviceBox},
      {"properties",
       "\\" + kHackRF,
       FS_EXEC_OK,
       {},
       "request 8 Quarnel " + kHackRF +
           "\r\n\r\nKind: HackRF One without a PortaPack (no serial shell)\r\nPort: COM7\r\n"},
      {"properties", pp + "\\a.txt", FS_EXEC_ERROR, {}, ""},
      {"properties", "\\Nothing (COM9)", FS_EXEC_ERROR, {}, ""},
      {"chmod 644", pp + "\\a.txt", FS_EXEC_ERROR, {}, ""},
      {"quote ls", pp, FS_EXEC_ERROR, {}, ""},
      {"", pp, FS_EXEC_ERROR, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Verb) + " " + c.Path);
    std::string path = c.Path;
    std::string verb = c.Verb;
    TakeHostLines();
    EXPECT_EQ(FsExecuteFile(nullptr, path.data(), verb.data()), c.Result);
    EXPECT_EQ(World->Take(), c.Events);
    std::vector<std::string> boxes;
    for (const std::string& line : TakeHostLines())
      if (StartsWith(line, "request")) boxes.push_back(line);
    EXPECT_EQ(boxes, c.Box.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.Box});
  }
  // A device that does not answer: the box says why.
  World->DescribeError = "No answer from device";
  std::string path = pp;
  std::string verb = "properties";
  EXPECT_EQ(FsExecuteFile(nullptr, path.data(), verb.data()), FS_EXEC_OK);
  EXPECT_TRUE(Contains(TakeHostLines(), "request 8 Quarnel " + kPortaPack +
                                            "\r\n\r\nKind: PortaPack with the Mayhem firmware"
                                            "\r\nPort: COM5\r\n\r\nThe device did not answer: "
                                            "No answer from device"));
}

// Before FsInit (Double Commander's plug-in settings) the host has given no callback: properties
// then shows nothing, touches no device and answers FS_EXEC_OK; the wide form behaves the same.
TEST_F(DeviceCache, PropertiesBeforeTheHostsCallbacksDoNothing) {
  RequestProc.store(nullptr);
  LogProc.store(nullptr);
  char root[] = "\\";
  char device[] = "\\PortaPack (COM5)";
  char verb[] = "properties";
  EXPECT_EQ(FsExecuteFile(nullptr, root, verb), FS_EXEC_OK);
  EXPECT_EQ(FsExecuteFile(nullptr, device, verb), FS_EXEC_OK);
  WCHAR wideRoot[] = u"/";
  WCHAR wideVerb[] = u"properties";
  WCHAR wideOpen[] = u"open";
  WCHAR wideFile[] = u"\\PortaPack (COM5)\\a.txt";
  EXPECT_EQ(FsExecuteFileW(nullptr, wideRoot, wideVerb), FS_EXEC_OK);
  EXPECT_EQ(FsExecuteFileW(nullptr, wideFile, wideOpen), FS_EXEC_YOURSELF);
  EXPECT_EQ(FsExecuteFile(nullptr, nullptr, nullptr), FS_EXEC_ERROR);
  EXPECT_EQ(World->Take(), std::vector<std::string>{});
  EXPECT_TRUE(TakeHostLines().empty());
  EXPECT_EQ(FsGetBackgroundFlags(), BG_DOWNLOAD | BG_UPLOAD | BG_ASK_USER);
}

}  // namespace
