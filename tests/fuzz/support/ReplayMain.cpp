// The main program of a fuzz target built without libFuzzer: it runs every file named on the
// command line, and every file inside each folder named there, through the target once. So the
// corpora are replayed by the ordinary test builds (under AddressSanitizer and
// UndefinedBehaviorSanitizer there), and a crash file from a fuzzing run can be replayed under a
// debugger.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"

namespace fs = std::filesystem;

// A target defines the initialisation only when it needs one.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* Argc, char*** Argv);

namespace {

bool RunFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", Path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A copy of exactly the file's size, so that AddressSanitizer sees any read past its end.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  uint8_t* start = data.empty() ? nullptr : data.data();
  LLVMFuzzerTestOneInput(start, data.size());
  return true;
}

}  // namespace

int main(int Argc, char** Argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&Argc, &Argv);
  if (Argc < 2) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", Argv[0]);
    return 2;
  }
  size_t runs = 0;
  bool ok = true;
  for (int i = 1; i < Argc; ++i) {
    const fs::path arg = Argv[i];
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const fs::directory_entry& entry : fs::directory_iterator(arg, ec))
        if (entry.is_regular_file(ec)) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::fprintf(stderr, "no inputs in %s\n", arg.c_str());
        ok = false;
      }
      for (const fs::path& file : files) runs += RunFile(file) ? 1 : 0;
    } else {
      if (RunFile(arg))
        ++runs;
      else
        ok = false;
    }
  }
  std::printf("%s: %zu inputs replayed\n", fs::path(Argv[0]).filename().c_str(), runs);
  return ok ? 0 : 1;
}
