// The file operations behind the exports FsGetFile, FsPutFile, FsRenMovFile, FsDeleteFile,
// FsRemoveDir, FsMkDir and FsDisconnect: split the plug-in path, borrow the root folder's device
// from the cache, run one device operation, and turn the outcome into the host's result code, with
// failures in the host's log window behind a short prefix. Transfers report progress through a
// TProgressBridge.
#pragma once

#include <cstdint>
#include <string>

#include "devices/uDeviceBase.h"

// Turns a device's byte counts into the host's percent progress, and the host's abort answer into
// a stop of the transfer. One per transfer.
class TProgressBridge {
 public:
  TProgressBridge(std::string Source, std::string Target)
      : SourceName(std::move(Source)), TargetName(std::move(Target)) {}

  // True goes on; false when the host answered that the user wants to abort. ProgressData is not
  // read. Without a host ProgressProc it always goes on.
  bool Progress(void* ProgressData, int64_t Done, int64_t Total);
  // Progress as the device's callback type.
  TTransferProgress Callback();

  std::string SourceName;
  std::string TargetName;
};

// Done of Total as the host's percent: 0 when Total < 1, else Done * 100 / Total truncated, not
// clamped.
int32_t ProgressPercent(int64_t Done, int64_t Total);

int GetFileOperation(const std::string& RemoteName, const std::string& LocalName, int CopyFlags);
int PutFileOperation(const std::string& LocalName, const std::string& RemoteName, int CopyFlags);
int RenMovFileOperation(const std::string& OldName, const std::string& NewName, bool OverWrite);
bool DeleteFileOperation(const std::string& RemoteName);
bool RemoveDirOperation(const std::string& RemoteName);
bool MkDirOperation(const std::string& Path);
bool DisconnectOperation(const std::string& DisconnectRoot);
