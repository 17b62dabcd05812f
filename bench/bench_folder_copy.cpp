// A folder of small files copied the way a file manager copies it, through the plug-in's exports:
// the Linux plug-in (quarnel.wfx) loaded with dlopen, both simulators behind a fake sysfs tree
// (scripts/sim-devices.sh) on a paced link (--rate 1000000 --latency-ms 1), and N files of 1 KiB
// put onto each device and got back, one FsPutFile or FsGetFile at a time.
//
// Prints milliseconds per file each way and the ratio to the round-trip bound: the round trips a
// file costs (every line the host ends with CR: commands and chunk go-aheads, counted in the
// simulator's transcript) times one measured round trip of an empty command line, plus the link
// time of every byte that crossed the line for the file. Each device's folder is copied twice:
// with the copy's check on (the default) and off (Verify=0 in the settings file given to
// FsSetDefaultParams), and what the check costs per file is printed. Usage: bench_folder_copy [N]
// (100).
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/wfxplugin.h"
#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

constexpr size_t kFileSize = 1024;
constexpr double kRate = 1000000;  // bytes per second each way, as given to devsim
constexpr double kGoalMs = 20;
constexpr int kRoundTripSamples = 50;

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point Start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - Start).count();
}

// The exports the bench drives.
struct TPlugin {
  void* Handle = nullptr;
  decltype(&FsInit) Init = nullptr;
  decltype(&FsFindFirst) FindFirst = nullptr;
  decltype(&FsFindNext) FindNext = nullptr;
  decltype(&FsFindClose) FindClose = nullptr;
  decltype(&FsGetFile) GetFile = nullptr;
  decltype(&FsPutFile) PutFile = nullptr;
  decltype(&FsDisconnect) Disconnect = nullptr;
  decltype(&FsSetDefaultParams) SetDefaultParams = nullptr;

  bool Load(const std::string& Path) {
    Handle = dlopen(Path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!Handle) {
      std::fprintf(stderr, "cannot load %s: %s\n", Path.c_str(), dlerror());
      return false;
    }
    auto find = [&](auto& Slot, const char* Name) {
      Slot = reinterpret_cast<std::remove_reference_t<decltype(Slot)>>(dlsym(Handle, Name));
      return Slot != nullptr;
    };
    return find(Init, "FsInit") && find(FindFirst, "FsFindFirst") && find(FindNext, "FsFindNext") &&
           find(FindClose, "FsFindClose") && find(GetFile, "FsGetFile") &&
           find(PutFile, "FsPutFile") && find(Disconnect, "FsDisconnect") &&
           find(SetDefaultParams, "FsSetDefaultParams");
  }

  // Names the settings file Ini to the plug-in, as a host does at start.
  void Settings(const std::string& Ini) {
    FsDefaultParamStruct params{};
    params.size = sizeof(params);
    params.PluginInterfaceVersionHi = 2;
    std::snprintf(params.DefaultIniName, sizeof(params.DefaultIniName), "%s", Ini.c_str());
    SetDefaultParams(&params);
  }

  // The names of a folder's entries (the root: the device folders); false when it cannot be read.
  bool List(const std::string& Path, std::vector<std::string>& Names) {
    Names.clear();
    WIN32_FIND_DATAA data{};
    std::string path = Path;
    HANDLE handle = FindFirst(path.data(), &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    do {
      Names.emplace_back(data.cFileName);
    } while (FindNext(handle, &data));
    FindClose(handle);
    return true;
  }
};

int WFX_API GoOn(int, char*, char*, int) {
  return 0;
}
void WFX_API NoLog(int, int, char*) {}
BOOL WFX_API NoRequest(int, int, char*, char*, char*, int) {
  return 0;
}

// File I of the folder: letters and digits only, so that no payload byte ends a command line or
// reads as a prompt in the transcript.
std::string FileContent(int I) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string bytes(kFileSize, 'x');
  uint32_t state = static_cast<uint32_t>(I) * 2654435761u + 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345;
    c = kChars[(state >> 16) % (sizeof(kChars) - 1)];
  }
  return bytes;
}

size_t CountOf(const std::string& Text, char C) {
  size_t count = 0;
  for (char c : Text) count += c == C;
  return count;
}

// One device of the bench: its folder in plug-in paths, its transcript and the prompt that ends
// an empty command line.
struct TDevice {
  const char* Kind;
  int Slot;
  std::string FolderOnCard;  // below the simulator's root
  std::string FolderPath;    // below the device folder
  std::string Prompt;
  std::string Transcript;
  std::string Display;
};

// Milliseconds of one empty command line and its prompt, the median of a few, measured on the
// port before the plug-in opens it.
double RoundTripMs(const std::string& Port, const std::string& Prompt) {
  TRawTty tty;
  std::string text;
  if (!tty.Open(Port) || !tty.Write("\r") || !tty.ReadUntil(Prompt, text, 5000)) return -1;
  tty.ReadQuiet(300, 2000);  // a greeting that is still on its way
  std::vector<double> samples;
  for (int i = 0; i < kRoundTripSamples; ++i) {
    auto start = TClock::now();
    if (!tty.Write("\r") || !tty.ReadUntil(Prompt, text, 5000)) return -1;
    samples.push_back(MsSince(start));
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

struct TPhase {
  double MsPerFile = -1;
  double RoundTripsPerFile = 0;
  double BytesPerFile = 0;
};

bool Transcript(const std::string& Path, TTranscriptData& Data) {
  Data = {};
  return ReadTranscript(Path, Data);
}

// Runs one direction over all files and reads its cost from the transcript.
template <typename TCopy>
TPhase Measure(const TDevice& Device, int Count, TCopy Copy) {
  TPhase phase;
  TTranscriptData before;
  TTranscriptData after;
  if (!Transcript(Device.Transcript, before)) return phase;
  auto start = TClock::now();
  for (int i = 0; i < Count; ++i) {
    if (!Copy(i)) {
      std::fprintf(stderr, "%s: file %d failed\n", Device.Kind, i);
      return phase;
    }
  }
  const double ms = MsSince(start);
  if (!Transcript(Device.Transcript, after)) return phase;
  const std::string fromHost = after.FromHost.substr(before.FromHost.size());
  const size_t toHost = after.ToHost.size() - before.ToHost.size();
  phase.MsPerFile = ms / Count;
  phase.RoundTripsPerFile = static_cast<double>(CountOf(fromHost, '\r')) / Count;
  phase.BytesPerFile = static_cast<double>(fromHost.size() + toHost) / Count;
  return phase;
}

bool Report(const TDevice& Device, const char* Direction, const char* Check, const TPhase& Phase,
            double RoundTripMs) {
  if (Phase.MsPerFile <= 0) {
    std::printf("%-9s %-8s %s failed\n", Device.Kind, Direction, Check);
    return false;
  }
  const double linkMs = Phase.BytesPerFile / kRate * 1000;
  const double boundMs = Phase.RoundTripsPerFile * RoundTripMs + linkMs;
  std::printf(
      "%-9s %-8s %s %6.2f ms per file (goal <= %.0f ms: %s); %4.1f round trips and %5.0f bytes "
      "per file; bound %5.2f ms; ratio to bound %.2f\n",
      Device.Kind, Direction, Check, Phase.MsPerFile, kGoalMs,
      Phase.MsPerFile <= kGoalMs ? "met" : "MISSED", Phase.RoundTripsPerFile, Phase.BytesPerFile,
      boundMs, boundMs / Phase.MsPerFile);
  return true;
}

// Copies the folder Sub of the device's bench folder up and back; Up and Down get the figures.
bool Run(TPlugin& Plugin, TDevice& Device, const std::string& Local, int Count, double RoundTripMs,
         const std::string& Sub, TPhase& Up, TPhase& Down) {
  const std::string folder = "/" + Device.Display + Device.FolderPath + "/" + Sub;
  std::vector<std::string> names;
  // The connection (and its settle wait) comes with the first listing, before any timing. (The
  // folder itself is empty, which a listing reports as no handle at all.)
  const std::string parent = folder.substr(0, folder.rfind('/'));
  if (!Plugin.List(parent, names)) {
    std::fprintf(stderr, "%s: cannot list %s\n", Device.Kind, parent.c_str());
    return false;
  }
  auto remote = [&](int I) { return folder + "/file" + std::to_string(I) + ".sub"; };
  auto local = [&](const std::string& Side, int I) {
    return Local + "/" + Side + std::to_string(I) + ".sub";
  };
  const std::string downloaded = std::string("down-") + Device.Kind + "-" + Sub + "-";
  TPhase& up = Up;
  TPhase& down = Down;
  up = Measure(Device, Count, [&](int I) {
    std::string from = local("up", I);
    std::string to = remote(I);
    return Plugin.PutFile(from.data(), to.data(), 0) == FS_FILE_OK;
  });
  down = Measure(Device, Count, [&](int I) {
    std::string from = remote(I);
    std::string to = local(downloaded, I);
    return Plugin.GetFile(from.data(), to.data(), 0, nullptr) == FS_FILE_OK;
  });
  bool same = true;
  for (int i = 0; i < Count && same; ++i) {
    std::string bytes;
    same = ReadLocalFile(local(downloaded, i), bytes) && bytes == FileContent(i);
  }
  if (!same) std::fprintf(stderr, "%s: a file came back changed\n", Device.Kind);
  std::string root = "/" + Device.Display;
  Plugin.Disconnect(root.data());
  const char* check = Sub == "on" ? "check on " : "check off";
  bool ok = Report(Device, "upload", check, up, RoundTripMs);
  ok = Report(Device, "download", check, down, RoundTripMs) && ok;
  return ok && same;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 100;
  if (count <= 0) {
    std::fprintf(stderr, "usage: bench_folder_copy [FILES]\n");
    return 2;
  }
  TScratchDir work;
  const std::string sys = work.Path() + "/sys";
  const std::string dev = work.Path() + "/dev";
  const std::string local = work.Path() + "/local";
  const std::string state = work.Path() + "/state";
  std::filesystem::create_directories(local);
  for (int i = 0; i < count; ++i) {
    if (!WriteLocalFile(local + "/up" + std::to_string(i) + ".sub", FileContent(i))) return 1;
  }
  TDevice devices[] = {
      {"portapack", 0, "/pp/BENCH", "/BENCH", "ch> ", work.Path() + "/pp.transcript", ""},
      {"flipper", 1, "/fz/ext/bench", "/ext/bench", ">: ", work.Path() + "/fz.transcript", ""},
  };
  std::filesystem::create_directories(work.Path() + "/fz/int");
  std::string command = "bash '" + std::string(QUARNEL_SOURCE_DIR) +
                        "/scripts/sim-devices.sh' start-linux '" + state + "' '" +
                        TDevSim::ExecutablePath() + "' '" + sys + "' '" + dev + "'";
  for (TDevice& device : devices) {
    for (const char* sub : {"/on", "/off"})
      std::filesystem::create_directories(work.Path() + device.FolderOnCard + sub);
    const std::string root = work.Path() + (device.Slot == 0 ? "/pp" : "/fz");
    command += " '" + std::string(device.Kind) + "," + std::to_string(device.Slot) + "," + root +
               ",Bench,--rate,1000000,--latency-ms,1,--transcript," + device.Transcript + "'";
  }
  if (std::system((command + " >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "the simulators did not start\n");
    return 1;
  }
  const std::string stop =
      "bash '" + std::string(QUARNEL_SOURCE_DIR) + "/scripts/sim-devices.sh' stop '" + state + "'";

  double roundTrip[2];
  for (const TDevice& device : devices) {
    roundTrip[device.Slot] =
        RoundTripMs(dev + "/ttyACM" + std::to_string(device.Slot), device.Prompt);
  }
  // The plug-in finds the simulators through the fake tree and logs into the scratch folder.
  setenv("QUARNEL_SYSFS_ROOT", sys.c_str(), 1);
  setenv("QUARNEL_DEV_ROOT", dev.c_str(), 1);
  setenv("TMPDIR", work.Path().c_str(), 1);
  TPlugin plugin;
  std::vector<std::string> rootNames;
  bool ok = plugin.Load(std::string(QUARNEL_BUILD_DIR) + "/quarnel.wfx") &&
            plugin.Init(1, GoOn, NoLog, NoRequest) == 0 && plugin.List("/", rootNames);
  const std::string checkOn = work.Path() + "/on.ini";
  const std::string checkOff = work.Path() + "/off.ini";
  ok = ok && WriteLocalFile(checkOn, "[Quarnel]\r\n") &&
       WriteLocalFile(checkOff, "[Quarnel]\r\nVerify=0\r\n");
  std::printf("%d files of %zu bytes each way at --rate 1000000 --latency-ms 1, one at a time\n",
              count, kFileSize);
  for (TDevice& device : devices) {
    if (!ok) break;
    const std::string port = "(ttyACM" + std::to_string(device.Slot) + ")";
    for (const std::string& name : rootNames) {
      if (name.size() >= port.size() &&
          name.compare(name.size() - port.size(), port.size(), port) == 0)
        device.Display = name;
    }
    std::printf("%-9s round trip of an empty command line: %.2f ms\n", device.Kind,
                roundTrip[device.Slot]);
    ok = !device.Display.empty() && roundTrip[device.Slot] > 0;
    TPhase up[2];
    TPhase down[2];
    for (int on : {1, 0}) {
      plugin.Settings(on ? checkOn : checkOff);
      ok = ok && Run(plugin, device, local, count, roundTrip[device.Slot], on ? "on" : "off",
                     up[on], down[on]);
    }
    if (ok)
      std::printf("%-9s the check costs %.2f ms per file up and %.2f ms down\n", device.Kind,
                  up[1].MsPerFile - up[0].MsPerFile, down[1].MsPerFile - down[0].MsPerFile);
  }
  if (std::system((stop + " >/dev/null").c_str()) != 0) std::fprintf(stderr, "stopping failed\n");
  if (!ok) {
    // The plug-in's debug log tells why; the scratch folder goes with the bench.
    std::printf("failed; the end of the plug-in's debug log:\n");
    std::fflush(stdout);
    if (std::system(("tail -n 40 '" + work.Path() + "/quarnel.log'").c_str()) != 0)
      std::printf("(no debug log)\n");
  }
  return ok ? 0 : 1;
}
