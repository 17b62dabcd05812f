// POSIX primitives of the local files: plain descriptors, calls retried on interruption.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

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

uint32_t ProcessId() {
  return static_cast<uint32_t>(getpid());
}

}  // namespace os

bool LocalFileExists(const std::string& Path) {
  struct stat info {};
  return stat(Path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteLocalFile(const std::string& Path) {
  return unlink(Path.c_str()) == 0;
}

bool LocalFileWritable(const std::string& Path) {
  return access(Path.c_str(), W_OK) == 0;
}

bool CreateNewLocalFile(const std::string& Path, bool OwnerOnly, bool& Exists) {
  Exists = false;
  // O_EXCL fails on anything at Path, a symbolic link included (dangling or not), so the file is
  // never one that someone placed there; O_NOFOLLOW says the same once more.
  int fd;
  do {
    fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
              OwnerOnly ? 0600 : 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Exists = errno == EEXIST || errno == ELOOP;
    return false;
  }
  close(fd);
  return true;
}

bool ReplaceLocalFile(const std::string& From, const std::string& To) {
  // The replaced file's permissions pass on: a private file must not become readable by others
  // because it was downloaded again. A failure here still leaves a usable file.
  struct stat target {};
  if (stat(To.c_str(), &target) == 0 && S_ISREG(target.st_mode))
    chmod(From.c_str(), target.st_mode & 07777);
  return rename(From.c_str(), To.c_str()) == 0;
}

std::string ResolveLocalFile(const std::string& Path) {
  char* resolved = realpath(Path.c_str(), nullptr);
  if (!resolved) return Path;
  std::string result(resolved);
  free(resolved);
  return result;
}

}  // namespace platform
