// TLocalFile over the system's one-call file primitives: whole reads and writes are loops here,
// once for every system.
#include "platform/LocalFile.h"

#include <atomic>
#include <cstdio>

#include "platform/LocalFileOs.h"
#include "platform/Platform.h"

namespace platform {

namespace {

// Names a crashed run may have left are passed over; a folder where this many are taken in a row
// has something else wrong with it.
constexpr int kUniqueNameAttempts = 100;

std::atomic<uint32_t> UniqueNameCounter{0};

}  // namespace

TLocalFile::~TLocalFile() {
  Close();
}

bool TLocalFile::OpenRead(const std::string& Path) {
  Close();
  Handle_ = os::OpenLocalRead(Path);
  return IsOpen();
}

bool TLocalFile::Create(const std::string& Path) {
  Close();
  Handle_ = os::CreateLocal(Path);
  return IsOpen();
}

void TLocalFile::Close() {
  if (!IsOpen()) return;
  os::CloseLocal(Handle_);
  Handle_ = -1;
}

int64_t TLocalFile::Size() const {
  return IsOpen() ? os::LocalSize(Handle_) : -1;
}

bool TLocalFile::Read(void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!IsOpen()) return false;
  auto* out = static_cast<char*>(Buf);
  while (Got < Count) {
    uint32_t n = 0;
    if (!os::ReadLocal(Handle_, out + Got, Count - Got, n)) return false;
    if (n == 0) break;  // the end of the file
    Got += n;
  }
  return true;
}

bool TLocalFile::Write(const void* Buf, uint32_t Count) {
  if (!IsOpen()) return false;
  const auto* in = static_cast<const char*>(Buf);
  for (uint32_t done = 0; done < Count;) {
    uint32_t n = 0;
    if (!os::WriteLocal(Handle_, in + done, Count - done, n) || n == 0) return false;
    done += n;
  }
  return true;
}

std::string LocalFolderOf(const std::string& Path) {
  const char* separators = PathSeparator() == '\\' ? "\\/:" : "/";
  const size_t last = Path.find_last_of(separators);
  return last == std::string::npos ? std::string() : Path.substr(0, last + 1);
}

std::string CreateUniqueLocalFile(const std::string& Folder, const std::string& Prefix,
                                  const std::string& Suffix, bool OwnerOnly) {
  std::string folder = Folder;
  if (!folder.empty() && LocalFolderOf(folder) != folder) folder += PathSeparator();
  // The process id keeps two processes apart, the counter two calls of one process; the
  // exclusive creation makes the name this call's alone whatever else is in the folder.
  const uint32_t process = os::ProcessId();
  for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
    char unique[32];
    std::snprintf(unique, sizeof(unique), "%x-%u", static_cast<unsigned>(process),
                  static_cast<unsigned>(UniqueNameCounter.fetch_add(1)));
    std::string path = folder + Prefix + unique + Suffix;
    bool exists = false;
    if (CreateNewLocalFile(path, OwnerOnly, exists)) return path;
    if (!exists) return {};  // the folder is missing or not writable: another name won't help
  }
  return {};
}

}  // namespace platform
