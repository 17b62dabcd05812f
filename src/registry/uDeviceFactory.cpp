// The device factory: the driver class for a port's kind.
#include "devices/uDeviceTypes.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"

TShellDevicePtr CreateDeviceForPortDefault(const std::string& /*PortName*/,
                                           const std::string& FriendlyName, uint16_t VID,
                                           uint16_t PID) {
  switch (ClassifyDevice(FriendlyName, VID, PID)) {
    default:
      return nullptr;
  }
}
