// A shell device whose operations all fail without doing anything: the base for test devices that
// play one part (a connect that blocks, a disconnect that is recorded) and need no other.
#pragma once

#include "devices/uDeviceBase.h"

class TStubDevice : public TShellDevice {
 public:
  using TShellDevice::TShellDevice;
  bool Connect() override { return false; }
  bool ListDir(const std::string&, TShellFileEntries&) override { return false; }
  bool GetFileSize(const std::string&, int64_t&) override { return false; }
  TPathState ProbePath(const std::string&, int64_t&) override { return TPathState::Unknown; }
  bool GetFile(const std::string&, const std::string&, const TTransferProgress&, void*) override {
    return false;
  }
  bool PutFile(const std::string&, const std::string&, const TTransferProgress&, void*) override {
    return false;
  }
  bool DeleteFile(const std::string&) override { return false; }
  bool MakeDir(const std::string&) override { return false; }
  bool RemoveDir(const std::string&) override { return false; }
  bool RenameFile(const std::string&, const std::string&) override { return false; }
  TDeviceKind GetKind() const override { return dkNone; }
};
