// The logic of the exported file operations (the exports themselves are adaptors in uWfxMain).
#include "plugin/uFileOperations.h"

#include <vector>

#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "plugin/uHostLog.h"
#include "plugin/uPluginPath.h"
#include "plugin/uSettings.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "util/uStrUtils.h"

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
  if (target.Device) ApplySettings(*target.Device.get());
  return target;
}

void ReportFailure(const std::string& Prefix, const std::string& Reason) {
  HostLog(MSGTYPE_IMPORTANTERROR, Prefix + Reason);
}

// The existence test before a write onto Remote: FS_FILE_EXISTS for a target that is there,
// FS_FILE_WRITEERROR (reported with Prefix) when the device could not tell, FS_FILE_OK when it
// said the target is absent. Going ahead on anything but the device's own "no such file" could
// overwrite a file without the host ever asking.
int TargetState(TShellDevice& Device, const std::string& Remote, const std::string& Prefix) {
  int64_t size = 0;
  switch (Device.ProbePath(Remote, size)) {
    case TPathState::Absent:
      return FS_FILE_OK;
    case TPathState::Exists:
      return FS_FILE_EXISTS;
    case TPathState::Unknown:
      break;
  }
  ReportFailure(Prefix, "cannot tell whether the target exists: " + Device.LastError);
  return FS_FILE_WRITEERROR;
}

bool IsAbort(const std::string& Reason) {
  return UpperAscii(Reason).find("ABORT") != std::string::npos;
}

// A download is written to a new file beside its target, which takes the target's place only once
// the whole file has arrived: a failed or aborted copy leaves an existing file as it was, and no
// half file ever carries the target's name. The staging file goes with the object unless it was
// committed.
class TStagedDownload {
 public:
  explicit TStagedDownload(const std::string& LocalName)
      : LocalName_(LocalName), Target_(platform::ResolveLocalFile(LocalName)) {}
  ~TStagedDownload() {
    if (!Path_.empty()) platform::DeleteLocalFile(Path_);
  }
  TStagedDownload(const TStagedDownload&) = delete;
  TStagedDownload& operator=(const TStagedDownload&) = delete;

  // Creates the staging file; false with Problem set.
  bool Begin() {
    // A read-only file stays: the user's copy would fail on it as on any other program's.
    if (platform::LocalFileExists(Target_) && !platform::LocalFileWritable(Target_))
      return Fail("Cannot write local file (read-only): ");
    Path_ =
        platform::CreateUniqueLocalFile(platform::LocalFolderOf(Target_), kPrefix, kSuffix, false);
    return !Path_.empty() || Fail("Cannot create local file: ");
  }
  // Puts the complete download in the target's place; false with Problem set.
  bool Commit() {
    if (!platform::ReplaceLocalFile(Path_, Target_)) return Fail("Cannot replace local file: ");
    Path_.clear();
    return true;
  }
  const std::string& Path() const { return Path_; }
  // A device's reason with the staging file's name replaced by the host's name for the target.
  std::string InHostTerms(std::string Reason) const {
    for (size_t at = Reason.find(Path_); !Path_.empty() && at != std::string::npos;
         at = Reason.find(Path_, at + LocalName_.size()))
      Reason.replace(at, Path_.size(), LocalName_);
    return Reason;
  }

  std::string Problem;

 private:
  bool Fail(const std::string& What) {
    Problem = What + LocalName_;
    return false;
  }

  static constexpr const char* kPrefix = "~quarnel-";
  static constexpr const char* kSuffix = ".part";
  const std::string LocalName_;
  const std::string Target_;
  std::string Path_;
};

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
  TStagedDownload staged(LocalName);
  if (!staged.Begin()) {
    ReportFailure("GetFile: ", staged.Problem);
    return FS_FILE_WRITEERROR;
  }
  TShellDevice& device = *target.Device.get();
  // The host's names in the progress display, never the staging file's.
  TProgressBridge bridge(RemoteName, LocalName);
  if (!device.GetFile(target.Remote, staged.Path(), bridge.Callback(), nullptr)) {
    std::string reason = staged.InHostTerms(device.LastError);
    ReportFailure("GetFile: ", reason);
    return IsAbort(reason) ? FS_FILE_USERABORT : FS_FILE_READERROR;
  }
  if (!staged.Commit()) {
    ReportFailure("GetFile: ", staged.Problem);
    return FS_FILE_WRITEERROR;
  }
  if (CopyFlags & FS_COPYFLAGS_MOVE) device.DeleteFile(target.Remote);
  return FS_FILE_OK;
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
  if ((CopyFlags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_RESUME)) == 0) {
    int state = TargetState(device, target.Remote, "PutFile: ");
    if (state != FS_FILE_OK) return state;
  }
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
  // The devices' cards do not tell letter cases apart (ASCII letters nor the Latin, Greek and
  // Cyrillic letters of UTF-8 names): the "other" name is the same file, and a rename onto it
  // would replace (or first delete) the very file being renamed.
  if (CardNameKey(oldPath) == CardNameKey(newPath)) {
    ReportFailure("Rename: ",
                  "the new name differs only in letter case, which the device's card does not "
                  "tell apart; rename through another name");
    return FS_FILE_WRITEERROR;
  }
  if (!OverWrite) {
    int state = TargetState(device, remoteNew, "Rename: ");
    if (state != FS_FILE_OK) return state;
  }
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
