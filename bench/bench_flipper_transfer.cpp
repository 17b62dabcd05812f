// Throughput and memory of the Flipper driver against the simulator: 4 MiB downloads and uploads
// through TFlipperDevice, on a paced link (--rate 1000000 --latency-ms 1, each way) and at full
// speed, with the copy's check ("storage md5" after the transfer) on and off, and the time an
// aborted download costs.
//
// The protocol bound is the exchange driven by a minimal client straight on the tty (read_chunks
// with the vendor's 8192-byte chunks, write_chunk with 32768-byte chunks, one answer byte per
// "Ready?"), so it holds the link model's and the simulator's cost and nothing of the driver's.
// The ratio bound/driver says how much of that the driver gets; on the paced link the ratio to
// the link rate (the file's own line time over the driver's time) is printed too, with the
// driver's processor time. Peak memory is the growth of the process's resident set during one
// transfer of 4 and of 64 MiB: it should not grow with the file.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "devices/uFlipper.h"
#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

constexpr size_t kMiB = 1u << 20;
constexpr size_t kDownloadChunk = 8192;
constexpr double kPacedRate = 1000000;  // bytes per second, as given to devsim
constexpr size_t kUploadChunk = 32768;
constexpr uint32_t kWaitMs = 30000;
const char* const kPrompt = "\r\n>: ";

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point Start) {
  return std::chrono::duration<double>(TClock::now() - Start).count();
}

// Processor time this process has used (user and system), in seconds.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Writes Size bytes of the test pattern in 1 MiB blocks, so that large files cost no memory.
bool WritePattern(const std::string& Path, size_t Size) {
  const std::string block = TestPattern(kMiB);
  std::ofstream file(Path, std::ios::binary | std::ios::trunc);
  for (size_t done = 0; done < Size; done += kMiB) {
    file.write(block.data(), static_cast<std::streamsize>(std::min(kMiB, Size - done)));
  }
  return static_cast<bool>(file);
}

bool SameFiles(const std::string& A, const std::string& B) {
  std::ifstream a(A, std::ios::binary);
  std::ifstream b(B, std::ios::binary);
  std::vector<char> blockA(kMiB);
  std::vector<char> blockB(kMiB);
  while (a && b) {
    a.read(blockA.data(), kMiB);
    b.read(blockB.data(), kMiB);
    if (a.gcount() != b.gcount() ||
        !std::equal(blockA.begin(), blockA.begin() + a.gcount(), blockB.begin()))
      return false;
  }
  return a.eof() && b.eof();
}

// Resident set figures of this process in KiB ("VmRSS:", "VmHWM:").
long StatusKib(const char* Key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(Key, 0) == 0) return std::stol(line.substr(std::string(Key).size()));
  }
  return -1;
}

// Resets the peak resident set to the current one (Linux 4.0 and later).
bool ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

struct TRun {
  double Seconds = -1;
  double CpuSeconds = 0;
  long PeakGrowthKib = -1;
};

// One simulator with a file of Size bytes at /ext/big.bin and a scratch folder for local files.
struct TSetup {
  TScratchDir Root;
  TScratchDir Local;
  std::unique_ptr<TDevSim> Sim;

  bool Start(const std::vector<std::string>& Extra, size_t Size) {
    Sim = std::make_unique<TDevSim>("flipper", Root.Path(), Extra);
    if (!Sim->Ok()) {
      std::fprintf(stderr, "devsim: %s\n", Sim->Error().c_str());
      return false;
    }
    return WritePattern(Remote("big.bin"), Size) && WritePattern(LocalPath("src.bin"), Size);
  }
  std::string Remote(const std::string& Name) const { return Root.Path() + "/ext/" + Name; }
  std::string LocalPath(const std::string& Name) const { return Local.Path() + "/" + Name; }
};

TRun DriverTransfer(const std::vector<std::string>& Extra, size_t Size, bool Upload,
                    bool Verify = true) {
  TRun run;
  TSetup setup;
  if (!setup.Start(Extra, Size)) return run;
  TShellDevicePtr device(new TFlipperDevice(setup.Sim->PortName()));
  if (!device->Connect()) return run;
  device->Settings.Verify = Verify;
  const long rssBefore = StatusKib("VmRSS:");
  const bool peakReset = ResetPeak();
  auto start = TClock::now();
  const double cpuStart = CpuSeconds();
  bool ok = Upload ? device->PutFile(setup.LocalPath("src.bin"), "/ext/up.bin", nullptr, nullptr)
                   : device->GetFile("/ext/big.bin", setup.LocalPath("dst.bin"), nullptr, nullptr);
  double seconds = SecondsSince(start);
  run.CpuSeconds = CpuSeconds() - cpuStart;
  if (peakReset) run.PeakGrowthKib = StatusKib("VmHWM:") - rssBefore;
  if (!ok) {
    std::fprintf(stderr, "transfer failed: %s\n", device->LastError.c_str());
    return run;
  }
  bool same = Upload ? SameFiles(setup.LocalPath("src.bin"), setup.Remote("up.bin"))
                     : SameFiles(setup.Remote("big.bin"), setup.LocalPath("dst.bin"));
  if (!same) {
    std::fprintf(stderr, "data mismatch\n");
    return run;
  }
  run.Seconds = seconds;
  return run;
}

// The same exchange as the driver's, with nothing around it; seconds or -1.
double MinimalClientTransfer(const std::vector<std::string>& Extra, size_t Size, bool Upload,
                             bool Verify) {
  TSetup setup;
  if (!setup.Start(Extra, Size)) return -1;
  const std::string data = TestPattern(kMiB);
  TRawTty tty;
  std::string text;
  if (!tty.Open(setup.Sim->SlavePath()) || !tty.ReadUntil(kPrompt, text, kWaitMs)) return -1;
  auto start = TClock::now();
  std::string line;
  if (Upload) {
    if (!tty.Write("storage remove /ext/up.bin\r") || !tty.ReadUntil(kPrompt, text, kWaitMs))
      return -1;
    for (size_t done = 0; done < Size; done += kUploadChunk) {
      size_t count = std::min(kUploadChunk, Size - done);
      if (!tty.Write("storage write_chunk /ext/up.bin " + std::to_string(count) + "\r") ||
          !tty.ReadLine(line, kWaitMs) || !tty.ReadLine(line, kWaitMs) ||
          !tty.Write(std::string_view(data).substr(done % kMiB, count), kWaitMs) ||
          !tty.ReadUntil(kPrompt, text, kWaitMs))
        return -1;
    }
  } else {
    if (!tty.Write("storage read_chunks /ext/big.bin " + std::to_string(kDownloadChunk) + "\r") ||
        !tty.ReadLine(line, kWaitMs) || !tty.ReadLine(line, kWaitMs))
      return -1;
    std::string chunk;
    for (size_t done = 0; done < Size; done += kDownloadChunk) {
      if (!tty.ReadUntil("Ready?\r\n", text, kWaitMs) || !tty.Write("\r") ||
          !tty.ReadExact(std::min(kDownloadChunk, Size - done), chunk, kWaitMs))
        return -1;
    }
    if (!tty.ReadUntil(kPrompt, text, kWaitMs)) return -1;
  }
  if (Verify && (!tty.Write(Upload ? "storage md5 /ext/up.bin\r" : "storage md5 /ext/big.bin\r") ||
                 !tty.ReadUntil(kPrompt, text, kWaitMs)))
    return -1;
  double seconds = SecondsSince(start);
  if (Upload && !SameFiles(setup.LocalPath("src.bin"), setup.Remote("up.bin"))) return -1;
  return seconds;
}

// The peak growth that touching Bytes of fresh memory shows: proof that the measurement works.
long CalibrationGrowthKib(size_t Bytes) {
  const long rssBefore = StatusKib("VmRSS:");
  if (!ResetPeak()) return -1;
  {
    std::vector<char> touched(Bytes, 1);
    if (touched[Bytes / 2] != 1) return -1;
  }
  return StatusKib("VmHWM:") - rssBefore;
}

bool ReportRatio(const char* Link, const std::vector<std::string>& Extra, size_t Size, bool Upload,
                 bool Paced, bool Verify) {
  const char* what = Upload ? "upload" : "download";
  const char* check = Verify ? "check on " : "check off";
  TRun driver = DriverTransfer(Extra, Size, Upload, Verify);
  double bound = MinimalClientTransfer(Extra, Size, Upload, Verify);
  if (driver.Seconds <= 0 || bound <= 0) {
    std::printf("%-30s %2zu MiB %-8s %s failed\n", Link, Size / kMiB, what, check);
    return false;
  }
  std::printf(
      "%-30s %2zu MiB %-8s %s driver %7.3f s (%6.0f KB/s), bound %7.3f s (%6.0f KB/s), ratio "
      "%.2f",
      Link, Size / kMiB, what, check, driver.Seconds, Size / driver.Seconds / 1e3, bound,
      Size / bound / 1e3, bound / driver.Seconds);
  if (Paced)
    std::printf("; ratio to the link rate %.2f; CPU %.1f %%", Size / kPacedRate / driver.Seconds,
                100 * driver.CpuSeconds / driver.Seconds);
  std::printf("\n");
  return true;
}

// A 4 MiB download on the paced link that the user stops after AbortAt bytes: how long GetFile
// takes to return after the progress call that said stop, and how long the next command (a
// listing) takes; the device must answer it.
bool ReportAbort(const std::vector<std::string>& Extra, size_t Size, int64_t AbortAt) {
  TSetup setup;
  if (!setup.Start(Extra, Size)) return false;
  TShellDevicePtr device(new TFlipperDevice(setup.Sim->PortName()));
  if (!device->Connect()) return false;
  TClock::time_point stopped{};
  auto progress = [&](void*, int64_t Done, int64_t) {
    if (Done < AbortAt) return true;
    stopped = TClock::now();
    return false;
  };
  const bool ok = device->GetFile("/ext/big.bin", setup.LocalPath("dst.bin"), progress, nullptr);
  const double returnMs = SecondsSince(stopped) * 1000;
  auto start = TClock::now();
  TShellFileEntries entries;
  const bool listed = device->ListDir("/ext", entries) && entries.size() == 1;
  const double listMs = SecondsSince(start) * 1000;
  if (ok || stopped == TClock::time_point{} || !listed) {
    std::printf("aborted download: failed (%s)\n", device->LastError.c_str());
    return false;
  }
  std::printf(
      "aborted download (4 MiB, stopped at %lld bytes): GetFile returned %.1f ms after the stop; "
      "the next listing took %.1f ms\n",
      static_cast<long long>(AbortAt), returnMs, listMs);
  return true;
}

}  // namespace

int main() {
  struct {
    const char* Name;
    std::vector<std::string> Extra;
  } links[] = {
      {"--rate 1000000 --latency-ms 1", {"--rate", "1000000", "--latency-ms", "1"}},
      {"full speed", {}},
  };
  bool ok = true;
  std::printf("Flipper driver transfers (bound: the same exchange by a minimal client)\n");
  for (const auto& link : links) {
    const bool paced = !link.Extra.empty();
    for (bool verify : {true, false}) {
      ok = ReportRatio(link.Name, link.Extra, 4 * kMiB, false, paced, verify) && ok;
      ok = ReportRatio(link.Name, link.Extra, 4 * kMiB, true, paced, verify) && ok;
    }
    // Uploads are short enough that the fixed cost of the first exchange shows; a larger file
    // shows what each chunk costs.
    for (bool verify : {true, false})
      if (!paced) ok = ReportRatio(link.Name, link.Extra, 64 * kMiB, true, paced, verify) && ok;
  }
  ok = ReportAbort(links[0].Extra, 4 * kMiB, 1 << 20) && ok;
  std::printf(
      "Peak resident set growth during one transfer at full speed (touching 8 MiB: +%ld KiB)\n",
      CalibrationGrowthKib(8 * kMiB));
  for (size_t mib : {4, 64}) {
    for (bool upload : {false, true}) {
      TRun run = DriverTransfer({}, mib * kMiB, upload);
      if (run.Seconds <= 0) {
        std::printf("%2zu MiB %-8s failed\n", mib, upload ? "upload" : "download");
        ok = false;
        continue;
      }
      std::printf("%2zu MiB %-8s %7.3f s, +%ld KiB\n", mib, upload ? "upload" : "download",
                  run.Seconds, run.PeakGrowthKib);
    }
  }
  return ok ? 0 : 1;
}
