#include "devices/uDeviceTypes.h"

#include "util/uStrUtils.h"

namespace {
bool Contains(const std::string& haystack, const char* needle) {
  return haystack.find(needle) != std::string::npos;
}
}  // namespace

TDeviceKind ClassifyDevice(const std::string& Name, uint16_t VID, uint16_t PID) {
  // USB ids decide first: a HackRF stays a HackRF whatever its friendly name claims.
  if (VID == 0x1D50 && PID == 0x6018) return dkPortapack;
  if (VID == 0x1D50 && PID == 0x6089) return dkHackRF;
  if (VID == 0x0483 && PID == 0x5740) return dkFlipper;
  const std::string upper = UpperAscii(Name);
  if (Contains(upper, "PORTAPACK") || Contains(upper, "MAYHEM")) return dkPortapack;
  if (Contains(upper, "HACKRF")) return dkHackRF;
  if (Contains(upper, "FLIPPER")) return dkFlipper;
  return dkNone;
}
