// The device factory: the driver class for a port's kind.
#include "devices/uDeviceTypes.h"
#include "devices/uFlipper.h"
#include "devices/uPortapack.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"

TShellDevicePtr CreateDeviceForPortDefault(const std::string& PortName,
                                           const std::string& FriendlyName, uint16_t VID,
                                           uint16_t PID) {
  switch (ClassifyDevice(FriendlyName, VID, PID)) {
    case dkPortapack:
      return TShellDevicePtr(new TPortapackDevice(PortName));
    case dkFlipper:
      return TShellDevicePtr(new TFlipperDevice(PortName));
    default:
      return nullptr;
  }
}
