// What may stand as a serial port's name, and where that port's device is. The serial open and the
// presence test share both on every system, so that a port name read out of a host path (a folder
// name the user can type) can never reach another file or device.
#pragma once

#include <string>

namespace platform {

// True for a plain port name such as COM5 or ttyACM0: not empty, not "." or "..", no path
// separator ("/" or "\" on every system) and no control character (a byte below 32, or 127).
bool IsPortName(const std::string& Name);

// The device path of a port that IsPortName accepts: "\\.\" + Name on Windows (the form that
// also reaches COM10 and above); QUARNEL_DEV_ROOT (default /dev) + "/" + Name elsewhere.
std::string PortDevicePath(const std::string& Name);

}  // namespace platform
