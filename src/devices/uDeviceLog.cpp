#include "devices/uDeviceLog.h"

TLogHook DeviceLogProc = nullptr;

void DeviceLog(const std::string& Msg) {
  TLogHook hook = DeviceLogProc;
  if (hook) hook(Msg);
}
