// TLocalFile over the system's one-call file primitives: whole reads and writes are loops here,
// once for every system.
#include "platform/LocalFile.h"

#include "platform/LocalFileOs.h"

namespace platform {

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

}  // namespace platform
