// POSIX side of port discovery: the presence test of a port under /dev (or QUARNEL_DEV_ROOT for
// tests). There is no registry here; the port list comes from sysfs (serial/uComScanSysfs.cpp).
#include "platform/Platform.h"
#include "platform/PortDiscovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

std::unique_ptr<IRegistryAccess> CreateSystemRegistry() {
  return nullptr;
}

TPortPresence ProbePort(const std::string& PortName) {
  // A port name is one directory entry; anything that could walk elsewhere names no port.
  if (PortName.empty() || PortName == "." || PortName == ".." ||
      PortName.find_first_of("/\\") != std::string::npos ||
      PortName.find('\0') != std::string::npos)
    return TPortPresence::Ghost;
  std::string root = GetEnv("QUARNEL_DEV_ROOT");
  if (root.empty()) root = "/dev";
  const std::string path = root + "/" + PortName;
  // O_NOCTTY: probing must never make the port our controlling terminal. O_NONBLOCK: a modem line
  // without carrier would otherwise block the open.
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    close(fd);
    return TPortPresence::Present;
  }
  // Busy (TIOCEXCL by another program, or by this plug-in), access denied and the like: the device
  // is there, only not ours to open right now.
  return (errno == ENOENT || errno == ENOTDIR) ? TPortPresence::Ghost : TPortPresence::Present;
}

}  // namespace platform
