// Throughput of the device simulator: a 4 MiB Flipper read_chunks download through the
// pseudo-terminal as fast as the simulator goes, and the same with the link model set to
// 1 MB/s, so that benchmarks of the plug-in can tell the simulator's own cost from the link's.
// Prints the figures and their ratio.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/DevSim.h"
#include "support/RawTty.h"

namespace {

constexpr size_t kFileSize = 4u << 20;

// Downloads the file as the vendor's storage.py does (one "y" per "Ready?"); seconds or -1.
double Download(const std::vector<std::string>& Extra, size_t Chunk) {
  TScratchDir Dir;
  TDevSim Sim("flipper", Dir.Path(), Extra);
  if (!Sim.Ok()) {
    std::fprintf(stderr, "devsim: %s\n", Sim.Error().c_str());
    return -1;
  }
  std::string Data = TestPattern(kFileSize);
  if (!WriteLocalFile(Dir.Path() + "/ext/big.bin", Data)) return -1;
  TRawTty Tty;
  std::string Text;
  if (!Tty.Open(Sim.SlavePath()) || !Tty.ReadUntil("\r\n>: ", Text)) return -1;
  auto Start = std::chrono::steady_clock::now();
  Tty.Write("storage read_chunks /ext/big.bin " + std::to_string(Chunk) + "\r");
  std::string Received;
  while (Received.size() < kFileSize) {
    std::string Block;
    if (!Tty.ReadUntil("Ready?\r\n", Text, 30000) || !Tty.Write("y") ||
        !Tty.ReadExact(std::min(Chunk, kFileSize - Received.size()), Block, 30000)) {
      return -1;
    }
    Received += Block;
  }
  if (!Tty.ReadUntil("\r\n>: ", Text, 30000)) return -1;
  double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  if (Received != Data) {
    std::fprintf(stderr, "data mismatch\n");
    return -1;
  }
  return Seconds;
}

}  // namespace

int main() {
  std::printf("devsim throughput: 4 MiB Flipper read_chunks download\n");
  for (size_t Chunk : {512u, 8192u}) {
    double Fast = Download({}, Chunk);
    double Paced = Download({"--rate", "1000000"}, Chunk);
    if (Fast <= 0 || Paced <= 0) {
      std::printf("chunk %zu: failed\n", Chunk);
      return 1;
    }
    std::printf(
        "chunk %5zu: as fast as possible %.3f s (%.1f MB/s); at --rate 1000000 %.3f s "
        "(%.3f MB/s); ratio %.1fx\n",
        Chunk, Fast, kFileSize / Fast / 1e6, Paced, kFileSize / Paced / 1e6, Paced / Fast);
  }
  return 0;
}
