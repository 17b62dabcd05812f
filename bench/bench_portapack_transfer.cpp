// Throughput of the PortaPack driver through the simulator: 4 MiB downloaded and uploaded at
// --rate 1000000 --latency-ms 1 (each way) and at full speed, with the copy's check ("crc32"
// after the transfer, compared with the CRC of the bytes that crossed) on and off, against the
// link rate and against the protocol bound: the same block dialogue (and "crc32") driven by an
// ideal client that never waits (the link's own time and one round trip per command). Also the
// peak memory after 4 MiB and after 64 MiB transfers, which must not grow with the size.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "devices/uPortapack.h"
#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

constexpr size_t kBlock = 32768;
constexpr double kPacedRate = 1000000;  // bytes per second, as given to devsim

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Processor time this process has used (user and system), in seconds.
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Writes Size pseudo-random bytes, piece by piece, so the bench never holds a whole file.
bool WritePattern(const std::string& Path, size_t Size, uint32_t Seed) {
  std::ofstream out(Path, std::ios::binary);
  std::string piece(1 << 16, '\0');
  uint32_t state = Seed * 2654435761u + 1;
  for (size_t done = 0; done < Size; done += piece.size()) {
    for (char& c : piece) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      c = static_cast<char>(state);
    }
    out.write(piece.data(), static_cast<std::streamsize>(std::min(piece.size(), Size - done)));
  }
  return static_cast<bool>(out);
}

bool SameFiles(const std::string& A, const std::string& B) {
  std::ifstream a(A, std::ios::binary);
  std::ifstream b(B, std::ios::binary);
  std::vector<char> x(1 << 16);
  std::vector<char> y(1 << 16);
  while (a && b) {
    a.read(x.data(), static_cast<std::streamsize>(x.size()));
    b.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (a.gcount() != b.gcount() || !std::equal(x.begin(), x.begin() + a.gcount(), y.begin()))
      return false;
  }
  return a.eof() && b.eof();
}

// The block dialogue without any wait of its own: seconds, or -1.
double IdealTransfer(const std::string& Port, size_t Size, bool Download, bool Verify) {
  TRawTty tty;
  std::string text;
  if (!tty.Open(Port) || !tty.Write("\r") || !tty.ReadUntil("ch> ", text)) return -1;
  double start = Now();
  auto command = [&](const std::string& Line) {
    return tty.Write(Line + "\r") && tty.ReadUntil("ch> ", text);
  };
  if (!command(Download ? "filesize /f.bin" : "fclose") || !command("fopen /f.bin") ||
      !command("fseek 0"))
    return -1;
  std::string payload(kBlock, 'u');
  for (size_t done = 0; done < Size; done += kBlock) {
    size_t n = std::min(kBlock, Size - done);
    std::string head = (Download ? "frb " : "fwb ") + std::to_string(n);
    if (!tty.Write(head + "\r")) return -1;
    if (Download) {
      if (!tty.ReadUntil("\r\n", text) || !tty.ReadExact(n, text, 30000)) return -1;
    } else if (!tty.ReadUntil(" bytes\r\n", text) || !tty.Write(payload.substr(0, n))) {
      return -1;
    }
    if (!tty.ReadUntil("ch> ", text, 30000)) return -1;
  }
  if (!command("fclose")) return -1;
  if (Verify && !command("crc32 /f.bin")) return -1;
  return Now() - start;
}

struct TFigures {
  double Driver = -1;
  double DriverCpu = 0;  // processor seconds of the driver's transfer
  double Ideal = -1;
};

TFigures Measure(const std::vector<std::string>& Link, size_t Size, bool Download, bool Verify) {
  TFigures figures;
  TScratchDir card;
  TScratchDir work;
  const std::string local = work.Path() + "/local.bin";
  const std::string remote = card.Path() + "/f.bin";
  if (!WritePattern(Download ? remote : local, Size, 7)) return figures;
  {
    TDevSim sim("portapack", card.Path(), Link);
    if (!sim.Ok()) return figures;
    TPortapackDevice device(sim.PortName());
    if (!device.Connect()) return figures;
    device.Settings.Verify = Verify;
    double start = Now();
    const double cpuStart = CpuSeconds();
    bool ok = Download ? device.GetFile("/f.bin", local, nullptr, nullptr)
                       : device.PutFile(local, "/f.bin", nullptr, nullptr);
    double seconds = Now() - start;
    figures.DriverCpu = CpuSeconds() - cpuStart;
    if (!ok) {
      std::fprintf(stderr, "transfer failed: %s\n", device.LastError.c_str());
      return figures;
    }
    if (!SameFiles(local, remote)) {
      std::fprintf(stderr, "data mismatch\n");
      return figures;
    }
    figures.Driver = seconds;
  }
  TDevSim sim("portapack", card.Path(), Link);
  if (sim.Ok()) figures.Ideal = IdealTransfer(sim.SlavePath(), Size, Download, Verify);
  return figures;
}

// Paced: the ratio of the link's own time for the file to the driver's time is printed too.
bool Report(const char* Name, const std::vector<std::string>& Link, size_t Size, bool Download,
            bool Paced, bool Verify = true) {
  TFigures f = Measure(Link, Size, Download, Verify);
  const char* check = Verify ? "check on " : "check off";
  if (f.Driver <= 0 || f.Ideal <= 0) {
    std::printf("%-26s %-8s %s failed\n", Name, Download ? "download" : "upload", check);
    return false;
  }
  std::printf(
      "%-26s %-8s %s %3zu MiB: driver %7.3f s (%6.3f MB/s); ideal dialogue %7.3f s; ratio to "
      "the ideal %.2f",
      Name, Download ? "download" : "upload", check, Size >> 20, f.Driver, Size / f.Driver / 1e6,
      f.Ideal, f.Ideal / f.Driver);
  if (Paced)
    std::printf("; ratio to the link rate %.2f; CPU %.1f %%", Size / kPacedRate / f.Driver,
                100 * f.DriverCpu / f.Driver);
  std::printf("\n");
  return true;
}

}  // namespace

int main() {
  const std::vector<std::string> paced = {"--rate", "1000000", "--latency-ms", "1"};
  std::printf("PortaPack driver through devsim (block %zu bytes)\n", kBlock);
  bool ok = true;
  for (bool download : {true, false}) {
    for (bool verify : {true, false}) {
      ok &= Report("--rate 1000000 --latency 1", paced, 4u << 20, download, true, verify);
      ok &= Report("full speed", {}, 4u << 20, download, false, verify);
    }
  }
  long after4 = PeakKiB();
  for (bool download : {true, false}) ok &= Report("full speed", {}, 64u << 20, download, false);
  long after64 = PeakKiB();
  std::printf("peak memory: %ld KiB after the 4 MiB transfers, %ld KiB after 64 MiB (ratio %.2f)\n",
              after4, after64, static_cast<double>(after64) / static_cast<double>(after4));
  return ok ? 0 : 1;
}
