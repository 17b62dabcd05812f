#include "devices/uDeviceLog.h"

TLogHookSlot DeviceLogProc{nullptr};

void DeviceLog(const std::string& Msg) {
  CallLogHook(DeviceLogProc, Msg);
}
