// The log hook of the device unit: device drivers and the registry log through DeviceLog, and the
// plug-in entry points the hook at its detail log.
#pragma once

#include <string>

#include "util/uLogHook.h"

extern TLogHookSlot DeviceLogProc;

// Calls DeviceLogProc when it is assigned; otherwise does nothing.
void DeviceLog(const std::string& Msg);
