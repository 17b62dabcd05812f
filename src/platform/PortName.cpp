// The port-name check, the same on every system.
#include "platform/PortName.h"

namespace platform {

bool IsPortName(const std::string& Name) {
  if (Name.empty() || Name == "." || Name == "..") return false;
  for (char c : Name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || byte < 32 || byte == 127) return false;
  }
  return true;
}

}  // namespace platform
