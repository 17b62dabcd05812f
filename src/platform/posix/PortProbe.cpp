// POSIX side of port discovery: the presence test of a port under /dev (or QUARNEL_DEV_ROOT for
// tests). There is no registry here; the port list comes from sysfs (serial/uComScanSysfs.cpp).
#include "platform/PortDiscovery.h"
#include "platform/PortName.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

std::unique_ptr<IRegistryAccess> CreateSystemRegistry() {
  return nullptr;
}

TPortPresence ProbePort(const std::string& PortName) {
  // A name that could walk elsewhere names no port.
  if (!IsPortName(PortName)) return TPortPresence::Ghost;
  const std::string path = PortDevicePath(PortName);
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
