// Listing costs. First the plug-in root: the port scan over an in-memory registry of about 20,000
// device keys, four ports, one of them (a Bluetooth port) found only by the walk of the whole
// Enum tree: the worst case a user's machine offers. Then a 1,000-entry folder on each device,
// through the simulator's link model, against the link time of the bytes the device sends (the
// PortaPack's has more files than it asks sizes for). Then what the PortaPack's file sizes cost:
// milliseconds per listed file with sizes off and on. Prints figures and ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "devices/uFlipper.h"
#include "devices/uPortapack.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"
#include "support/DevSim.h"
#include "support/MemoryRegistry.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

// ---- The root listing ----------------------------------------------------------------------

TMemoryRegistry* Registry = nullptr;

TComPortInfos RegistryPorts(const TPortFilter& ProbeOnly) {
  return EnumerateComPortsFrom(
      *Registry, [](const std::string&) { return true; }, ProbeOnly);
}

void AddInstance(TMemoryRegistry& Reg, const std::string& Path, const std::string& Port,
                 const std::string& Friendly, const std::string& HardwareId, size_t& Keys) {
  Reg.SetString(Path, "FriendlyName", Friendly);
  Reg.SetMultiString(Path, "HardwareID", {HardwareId});
  Reg.SetString(Path + "\\Device Parameters", "PortName", Port);
  Keys += 2;
}

// A machine's Enum tree: PCI, USB, HID and ACPI devices with their instances, each with a
// "Device Parameters" key; ports only where a serial device sits.
size_t FillRegistry(TMemoryRegistry& Reg) {
  const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";
  size_t keys = 0;
  char id[64];
  auto instances = [&](const std::string& Bus, int Devices, int PerDevice) {
    for (int d = 0; d < Devices; ++d) {
      std::snprintf(id, sizeof(id), "VEN_%04X&DEV_%04X", 0x1000 + d, 0x2000 + d);
      for (int i = 0; i < PerDevice; ++i) {
        std::string path = kEnum + Bus + "\\" + id + "\\" + std::to_string(i) + "&3A2B1C&0&00";
        Reg.SetString(path, "DeviceDesc", "Some device");
        Reg.SetString(path + "\\Device Parameters", "Setting", "1");
        keys += 2;
      }
      ++keys;
    }
  };
  instances("PCI", 150, 20);   // 6150 keys
  instances("HID", 150, 15);   // 4650 keys
  instances("ACPI", 100, 10);  // 2100 keys
  for (int d = 0; d < 300; ++d) {
    std::snprintf(id, sizeof(id), "VID_%04X&PID_%04X", 0x3000 + d, 0x4000 + d);
    for (int i = 0; i < 11; ++i) {
      std::string path = kEnum + "USB\\" + id + "\\" + std::to_string(i) + "&1F2E3D&0&0000";
      Reg.SetString(path, "DeviceDesc", "USB device");
      Reg.SetString(path + "\\Device Parameters", "Setting", "1");
      keys += 2;
    }
    ++keys;
    if (d == 150) {
      AddInstance(Reg, kEnum + "USB\\VID_1D50&PID_6018\\7&5135AF&0&0005", "COM5",
                  "USB Serial Device (COM5)", "USB\\VID_1D50&PID_6018&REV_0100", keys);
      AddInstance(Reg, kEnum + "USB\\VID_0483&PID_5740\\flip_Bench", "COM6",
                  "USB Serial Device (COM6)", "USB\\VID_0483&PID_5740&REV_0200", keys);
      AddInstance(Reg, kEnum + "USB\\VID_1D50&PID_6089\\7&5135AF&0&0007", "COM7",
                  "HackRF One (COM7)", "USB\\VID_1D50&PID_6089&REV_0100", keys);
    }
  }
  // The Bluetooth port: under BTHENUM, found only by the walk of all of Enum.
  AddInstance(Reg, kEnum + "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}\\8&1A2B3C&0&000000",
              "COM9", "Standard Serial over Bluetooth link (COM9)", "BTHENUM\\{00001101}", keys);
  const std::string kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
  Reg.SetString(kSerialComm, "\\Device\\USBSER000", "COM5");
  Reg.SetString(kSerialComm, "\\Device\\USBSER001", "COM6");
  Reg.SetString(kSerialComm, "\\Device\\USBSER002", "COM7");
  Reg.SetString(kSerialComm, "\\Device\\BthModem0", "COM9");
  return keys;
}

void BenchRootListing() {
  TMemoryRegistry reg;
  size_t keys = FillRegistry(reg);
  Registry = &reg;
  SetPortEnumerator(RegistryPorts);
  std::vector<double> times;
  size_t entries = 0;
  for (int run = 0; run < 15; ++run) {
    auto start = Clock::now();
    entries = ListRoot().size();
    times.push_back(Seconds(start) * 1000);
  }
  SetPortEnumerator(nullptr);
  std::sort(times.begin(), times.end());
  std::printf("root listing: %zu Enum keys, 4 ports, %zu folders listed\n", keys, entries);
  std::printf("  median %.1f ms, slowest %.1f ms of %zu runs; target < 50 ms: %s (ratio %.2f)\n",
              times[times.size() / 2], times.back(), times.size(),
              times[times.size() / 2] < 50 ? "met" : "MISSED", times[times.size() / 2] / 50.0);
}

// ---- A 1,000-entry folder on a device --------------------------------------------------------

constexpr int kEntries = 1000;
constexpr double kRate = 1000000;  // bytes per second, as given to devsim
constexpr double kLatencyMs = 1;

template <typename TDevice>
void BenchFolder(const char* Kind, const std::string& FolderOnCard, const std::string& FolderPath) {
  TScratchDir card;
  std::string dir = card.Path() + FolderOnCard;
  std::filesystem::create_directories(dir);
  for (int i = 0; i < kEntries; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "/capture_%04d.C16", i);
    std::string bytes(static_cast<size_t>(i % 97), 'x');
    if (!WriteLocalFile(dir + name, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", (dir + name).c_str());
      return;
    }
  }
  std::string transcript = card.Path() + "/../listing-" + Kind + ".transcript";
  TDevSim sim(Kind, card.Path(),
              {"--rate", "1000000", "--latency-ms", "1", "--transcript", transcript});
  if (!sim.Ok()) {
    std::fprintf(stderr, "devsim: %s\n", sim.Error().c_str());
    return;
  }
  TDevice device(sim.PortName());
  if (!device.Connect()) {
    std::fprintf(stderr, "%s: connect failed: %s\n", Kind, device.LastError.c_str());
    return;
  }
  TTranscriptData before;
  ReadTranscript(transcript, before);
  TShellFileEntries entries;
  auto start = Clock::now();
  bool ok = device.ListDir(FolderPath, entries);
  double wall = Seconds(start);
  sim.Stop();
  TTranscriptData after;
  ReadTranscript(transcript, after);
  size_t sent = after.ToHost.size() - before.ToHost.size();
  // The answer's bytes and the latency before the first of them; no driver waits before or after
  // a command of a device in step.
  double link = static_cast<double>(sent) / kRate + kLatencyMs / 1000.0;
  std::printf(
      "%-9s ls of %d entries: %s, %zu entries, %zu bytes from the device; wall %.3f s, "
      "link %.3f s (ratio %.2f)\n",
      Kind, kEntries, ok ? "ok" : "FAILED", entries.size(), sent, wall, link,
      wall > 0 ? link / wall : 0.0);
  std::remove(transcript.c_str());
}

// ---- PortaPack sizes: one "filesize" round trip per file ---------------------------------------

constexpr int kSizedFiles = 200;
constexpr int kSizeRuns = 3;

void BenchPortapackSizes() {
  TScratchDir card;
  const std::string dir = card.Path() + "/CAPTURES";
  std::filesystem::create_directories(dir);
  for (int i = 0; i < kSizedFiles; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "/capture_%04d.C16", i);
    if (!WriteLocalFile(dir + name, std::string(static_cast<size_t>(i * 37 % 1000 + 1), 'x'))) {
      std::fprintf(stderr, "cannot write %s\n", (dir + name).c_str());
      return;
    }
  }
  TDevSim sim("portapack", card.Path(), {"--rate", "1000000", "--latency-ms", "1"});
  if (!sim.Ok()) {
    std::fprintf(stderr, "devsim: %s\n", sim.Error().c_str());
    return;
  }
  TPortapackDevice device(sim.PortName());
  if (!device.Connect()) {
    std::fprintf(stderr, "portapack: connect failed: %s\n", device.LastError.c_str());
    return;
  }
  double perFile[2] = {0, 0};
  const uint32_t limits[2] = {0, kDefaultPortapackSizes};
  for (int on = 0; on < 2; ++on) {
    device.Settings.PortapackSizes = limits[on];
    std::vector<double> times;
    size_t sized = 0;
    bool ok = true;
    for (int run = 0; run < kSizeRuns; ++run) {
      TShellFileEntries entries;
      auto start = Clock::now();
      ok = device.ListDir("\\CAPTURES", entries) && ok;
      times.push_back(Seconds(start) * 1000);
      sized = static_cast<size_t>(std::count_if(
          entries.begin(), entries.end(), [](const TShellFileEntry& E) { return E.Size > 0; }));
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    perFile[on] = median / kSizedFiles;
    std::printf(
        "portapack ls of %d files, sizes %s (PortapackSizes=%u): %s, %zu files with a size; "
        "median %.0f ms of %d runs, %.2f ms per listed file\n",
        kSizedFiles, on ? "on" : "off", limits[on], ok ? "ok" : "FAILED", sized, median, kSizeRuns,
        perFile[on]);
  }
  // Each "filesize" is a command of its own: the line kept quiet for 30 ms before it, then the
  // round trip over the link.
  std::printf(
      "  a file's size costs %.2f ms (on - off; ratio on/off %.1f), of which 30 ms is the quiet "
      "before each command; at the default of %u files at most %.1f s per listing\n",
      perFile[1] - perFile[0], perFile[0] > 0 ? perFile[1] / perFile[0] : 0.0,
      kDefaultPortapackSizes, (perFile[1] - perFile[0]) * kDefaultPortapackSizes / 1000.0);
}

}  // namespace

int main() {
  BenchRootListing();
  std::printf("a 1,000-entry folder at --rate 1000000 --latency-ms 1:\n");
  BenchFolder<TPortapackDevice>("portapack", "/CAPTURES", "\\CAPTURES");
  BenchFolder<TFlipperDevice>("flipper", "/ext/captures", "\\ext\\captures");
  std::printf("PortaPack file sizes at --rate 1000000 --latency-ms 1:\n");
  BenchPortapackSizes();
  return 0;
}
