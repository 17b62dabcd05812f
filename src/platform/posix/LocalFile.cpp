// POSIX primitives of the local files: plain descriptors, calls retried on interruption.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LocalFile.h"
#include "platform/LocalFileOs.h"

namespace platform {

namespace os {

intptr_t OpenLocalRead(const std::string& Path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; such a file is refused below.
  int fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

intptr_t CreateLocal(const std::string& Path) {
  return open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void CloseLocal(intptr_t Handle) {
  close(static_cast<int>(Handle));
}

int64_t LocalSize(intptr_t Handle) {
  struct stat info {};
  if (fstat(static_cast<int>(Handle), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool ReadLocal(intptr_t Handle, void* Buf, uint32_t Count, uint32_t& Done) {
  ssize_t n;
  while ((n = read(static_cast<int>(Handle), Buf, Count)) < 0 && errno == EINTR) {
  }
  Done = n > 0 ? static_cast<uint32_t>(n) : 0;
  return n >= 0;
}

bool WriteLocal(intptr_t Handle, const void* Buf, uint32_t Count, uint32_t& Done) {
  ssize_t n;
  while ((n = write(static_cast<int>(Handle), Buf, Count)) < 0 && errno == EINTR) {
  }
  Done = n > 0 ? static_cast<uint32_t>(n) : 0;
  return n >= 0;
}

}  // namespace os

bool LocalFileExists(const std::string& Path) {
  struct stat info {};
  return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteLocalFile(const std::string& Path) {
  return unlink(Path.c_str()) == 0;
}

}  // namespace platform
