// POSIX local files: plain descriptors; reads and writes retried on interruption.
#include "platform/LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

struct TLocalFileState {
  int Fd = -1;
};

TLocalFile::~TLocalFile() {
  Close();
}

bool TLocalFile::OpenRead(const std::string& Path) {
  Close();
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; such a file is refused below.
  int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  State_ = new TLocalFileState{fd};
  return true;
}

bool TLocalFile::Create(const std::string& Path) {
  Close();
  int fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  State_ = new TLocalFileState{fd};
  return true;
}

void TLocalFile::Close() {
  if (!State_) return;
  close(State_->Fd);
  delete State_;
  State_ = nullptr;
}

int64_t TLocalFile::Size() const {
  struct stat info {};
  if (!State_ || fstat(State_->Fd, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool TLocalFile::Read(void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!State_) return false;
  auto* out = static_cast<char*>(Buf);
  while (Got < Count) {
    ssize_t n = read(State_->Fd, out + Got, Count - Got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    Got += static_cast<uint32_t>(n);
  }
  return true;
}

bool TLocalFile::Write(const void* Buf, uint32_t Count) {
  if (!State_) return false;
  const auto* in = static_cast<const char*>(Buf);
  uint32_t done = 0;
  while (done < Count) {
    ssize_t n = write(State_->Fd, in + done, Count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<uint32_t>(n);
  }
  return true;
}

bool LocalFileExists(const std::string& Path) {
  struct stat info {};
  return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteLocalFile(const std::string& Path) {
  return unlink(Path.c_str()) == 0;
}

}  // namespace platform
