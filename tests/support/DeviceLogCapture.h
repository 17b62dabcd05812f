// The device unit's log lines, as the host's log window would get them: while an object of this
// class lives, DeviceLogProc points at it. One at a time.
#pragma once

#include <string>
#include <vector>

#include "devices/uDeviceLog.h"

class TDeviceLogCapture {
 public:
  TDeviceLogCapture() {
    Current() = this;
    DeviceLogProc = Collect;
  }
  ~TDeviceLogCapture() {
    DeviceLogProc = nullptr;
    Current() = nullptr;
  }
  TDeviceLogCapture(const TDeviceLogCapture&) = delete;
  TDeviceLogCapture& operator=(const TDeviceLogCapture&) = delete;

  std::vector<std::string> Lines;

 private:
  static TDeviceLogCapture*& Current() {
    static TDeviceLogCapture* current = nullptr;
    return current;
  }
  static void Collect(const std::string& Line) {
    if (Current() != nullptr) Current()->Lines.push_back(Line);
  }
};
