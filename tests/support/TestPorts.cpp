// The test process's device folder; see TestPorts.h.
#include "support/TestPorts.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

struct TDevFolder {
  TDevFolder() {
    char pattern[] = "/tmp/quarnel-testdev-XXXXXX";
    if (mkdtemp(pattern)) {
      Path = pattern;
      setenv("QUARNEL_DEV_ROOT", pattern, 1);
    }
  }
  ~TDevFolder() {
    std::error_code ec;
    if (!Path.empty()) fs::remove_all(Path, ec);
  }
  std::mutex Lock;
  std::string Path;
  unsigned Next = 0;
};

}  // namespace

std::string LinkTestPort(const std::string& SlavePath) {
  static TDevFolder folder;
  std::lock_guard<std::mutex> guard(folder.Lock);
  if (folder.Path.empty() || SlavePath.empty()) return {};
  const std::string name = "ttyQuarnel" + std::to_string(folder.Next++);
  std::error_code ec;
  fs::create_symlink(SlavePath, fs::path(folder.Path) / name, ec);
  return ec ? std::string() : name;
}
