// POSIX implementation of the local time, local-file and environment seam (the clock is in
// Clock.cpp).
#include "platform/Platform.h"
#include "platform/PortName.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace platform {

TLocalTime LocalTimeNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm parts{};
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &parts);
  return TLocalTime{parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(tv.tv_usec / 1000)};
}

std::string TempDirectory() {
  std::string dir = GetEnv("TMPDIR");
  return dir.empty() ? std::string("/tmp") : dir;
}

char PathSeparator() {
  return '/';
}

bool AppendToFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == data.size();
}

std::string PortDevicePath(const std::string& Name) {
  std::string root = GetEnv("QUARNEL_DEV_ROOT");
  if (root.empty()) root = "/dev";
  return root + "/" + Name;
}

std::string GetEnv(const char* name) {
  if (!name) return {};
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// Double Commander on Linux passes UTF-8 through the ANSI interface: nothing to convert.
std::string AnsiToUtf8(const std::string& Text) {
  return Text;
}

std::string Utf8ToAnsi(const std::string& Text, bool* Lossless) {
  if (Lossless) *Lossless = true;
  return Text;
}

uint32_t AnsiCodePage() {
  return 65001;
}

uint64_t CurrentThreadId() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

void SetLastErrorCode(uint32_t code) {
  errno = static_cast<int>(code);
}
uint32_t GetLastErrorCode() {
  return static_cast<uint32_t>(errno);
}

}  // namespace platform
