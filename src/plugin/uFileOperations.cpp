// The logic of the exported file operations (the exports themselves are adaptors in uWfxMain).
#include "plugin/uFileOperations.h"

#include <vector>

#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uHostLog.h"
#include "plugin/uPluginPath.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "util/uStrUtils.h"
#include "util/uUnicode.h"

namespace {

// The common prologue: activity, split, device. Split tells whether the path named a device folder
// at all; Device is empty when the registry had none (it logged why) or the device stayed busy
// (Device.Problem()).
struct TTarget {
  bool Split = false;
  std::string RootDisplay;
  std::string Remote;
  TDeviceUse Device;
};

TTarget Prologue(const std::string& PluginPath) {
  MarkActivity();
  TTarget target;
  target.Split = SplitPluginPath(PluginPath, target.RootDisplay, target.Remote);
  if (target.Split) target.Device = GetDevice(target.RootDisplay);
  return target;
}

void ReportFailure(const std::string& Prefix, const std::string& Reason) {
  HostLog(MSGTYPE_IMPORTANTERROR, Prefix + Reason);
}

bool IsAbort(const std::string& Reason) {
  return UpperAscii(Reason).find("ABORT") != std::string::npos;
}

// Runs one device operation that answers true or false, for the three simple exports.
template <typename TOperation>
bool SimpleOperation(const std::string& Path, const std::string& Prefix, TOperation Operation) {
  TTarget target = Prologue(Path);
  if (!target.Device) {
    if (!target.Device.Problem().empty()) ReportFailure(Prefix, target.Device.Problem());
    return false;
  }
  if (Operation(*target.Device.get(), target.Remote)) return true;
  ReportFailure(Prefix, target.Device->LastError);
  return false;
}

}  // namespace

int32_t ProgressPercent(int64_t Done, int64_t Total) {
  if (Total < 1) return 0;
  // Done * 100 cannot overflow for any file size a device reports (below 2^56 bytes).
  return static_cast<int32_t>((Done * 100) / Total);
}

bool TProgressBridge::Progress(void* /*ProgressData*/, int64_t Done, int64_t Total) {
  return HostProgress(SourceName, TargetName, ProgressPercent(Done, Total)) == 0;
}

TTransferProgress TProgressBridge::Callback() {
  return [this](void* ProgressData, int64_t Done, int64_t Total) {
    return Progress(ProgressData, Done, Total);
  };
}

int GetFileOperation(const std::string& RemoteName, const std::string& LocalName, int CopyFlags) {
  TTarget target = Prologue(RemoteName);
  if (!target.Split) return FS_FILE_NOTFOUND;
  if (!target.Device) {
    if (target.Device.Problem().empty()) return FS_FILE_NOTFOUND;
    ReportFailure("GetFile: ", target.Device.Problem());
    return FS_FILE_READERROR;
  }
  if (platform::LocalFileExists(LocalName) &&
      (CopyFlags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_RESUME)) == 0)
    return FS_FILE_EXISTS;
  // Resume is done as overwrite: the whole file is transferred again.
  TShellDevice& device = *target.Device.get();
  TProgressBridge bridge(RemoteName, LocalName);
  if (device.GetFile(target.Remote, LocalName, bridge.Callback(), nullptr)) {
    if (CopyFlags & FS_COPYFLAGS_MOVE) device.DeleteFile(target.Remote);
    return FS_FILE_OK;
  }
  ReportFailure("GetFile: ", device.LastError);
  return IsAbort(device.LastError) ? FS_FILE_USERABORT : FS_FILE_READERROR;
}

int PutFileOperation(const std::string& LocalName, const std::string& RemoteName, int CopyFlags) {
  TTarget target = Prologue(RemoteName);
  if (!target.Split) return FS_FILE_NOTFOUND;
  if (!target.Device) {
    if (target.Device.Problem().empty()) return FS_FILE_NOTFOUND;
    ReportFailure("PutFile: ", target.Device.Problem());
    return FS_FILE_WRITEERROR;
  }
  TShellDevice& device = *target.Device.get();
  int64_t size = 0;
  if (device.GetFileSize(target.Remote, size) &&
      (CopyFlags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_RESUME)) == 0)
    return FS_FILE_EXISTS;
  TProgressBridge bridge(LocalName, RemoteName);
  if (device.PutFile(LocalName, target.Remote, bridge.Callback(), nullptr)) {
    if (CopyFlags & FS_COPYFLAGS_MOVE) platform::DeleteLocalFile(LocalName);
    return FS_FILE_OK;
  }
  ReportFailure("PutFile: ", device.LastError);
  return IsAbort(device.LastError) ? FS_FILE_USERABORT : FS_FILE_WRITEERROR;
}

int RenMovFileOperation(const std::string& OldName, const std::string& NewName, bool OverWrite) {
  MarkActivity();
  std::string rootOld, remoteOld, rootNew, remoteNew;
  if (!SplitPluginPath(OldName, rootOld, remoteOld) ||
      !SplitPluginPath(NewName, rootNew, remoteNew))
    return FS_FILE_WRITEERROR;
  // Between two root folders (or a root folder itself renamed): not done here.
  if (rootOld != rootNew) return FS_FILE_NOTSUPPORTED;
  TDeviceUse use = GetDevice(rootOld);
  if (!use) {
    if (use.Problem().empty()) return FS_FILE_NOTFOUND;
    ReportFailure("Rename: ", use.Problem());
    return FS_FILE_WRITEERROR;
  }
  TShellDevice& device = *use.get();
  std::string oldPath = TShellDevice::NormalizeRemotePath(remoteOld);
  std::string newPath = TShellDevice::NormalizeRemotePath(remoteNew);
  if (oldPath == newPath) return FS_FILE_OK;  // nothing to move
  // The devices' cards do not tell letter cases apart: the "other" name is the same file, and a
  // rename onto it would replace (or first delete) the very file being renamed.
  if (UpperCaseUtf8(oldPath) == UpperCaseUtf8(newPath)) {
    ReportFailure("Rename: ",
                  "the new name differs only in letter case, which the device's card does not "
                  "tell apart; rename through another name");
    return FS_FILE_WRITEERROR;
  }
  int64_t size = 0;
  if (!OverWrite && device.GetFileSize(remoteNew, size)) return FS_FILE_EXISTS;
  if (device.RenameFile(remoteOld, remoteNew)) return FS_FILE_OK;
  ReportFailure("Rename: ", device.LastError);
  return FS_FILE_WRITEERROR;
}

bool DeleteFileOperation(const std::string& RemoteName) {
  return SimpleOperation(RemoteName, "Delete: ", [](TShellDevice& device, const std::string& path) {
    return device.DeleteFile(path);
  });
}

bool RemoveDirOperation(const std::string& RemoteName) {
  return SimpleOperation(RemoteName, "RmDir: ", [](TShellDevice& device, const std::string& path) {
    return device.RemoveDir(path);
  });
}

bool MkDirOperation(const std::string& Path) {
  return SimpleOperation(Path, "MkDir: ", [](TShellDevice& device, const std::string& path) {
    return device.MakeDir(path);
  });
}

bool DisconnectOperation(const std::string& DisconnectRoot) {
  std::string rootDisplay, remote;
  if (!SplitPluginPath(DisconnectRoot, rootDisplay, remote)) return false;
  DisconnectDevice(rootDisplay);
  return true;
}
