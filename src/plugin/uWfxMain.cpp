// The exported entry points of the plug-in. Each is a short adaptor: it checks what the host
// passed, calls into the registry, fills the host's structures, and never lets an exception out.
#include <cstring>
#include <memory>
#include <string>

#include "devices/uDeviceLog.h"
#include "platform/Platform.h"
#include "plugin/uDeviceListing.h"
#include "plugin/uFileOperations.h"
#include "plugin/uFindData.h"
#include "plugin/uHostLog.h"
#include "plugin/uLibrary.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "registry/uIdleWatcher.h"
#include "serial/uComScan.h"
#include "util/uDebugLog.h"

namespace {

const char kRootName[] = "ChibiOS Devices";
constexpr uint32_t kErrorInvalidParameter = 87;

std::string SafeString(const char* text) {
  return text ? std::string(text) : std::string();
}

bool IsPluginRoot(const std::string& path) {
  if (path.empty() || path == "\\") return true;
  // Double Commander on Linux passes "/"-separated paths.
  return platform::PathSeparator() == '/' && path == "/";
}

HANDLE FindFirstRoot(std::unique_ptr<TFindContext> context, WIN32_FIND_DATAA& findData) {
  context->Level = 0;
  context->Roots = ListRoot();
  DebugLog("FsFindFirst: plugin-root, " + std::to_string(context->Roots.size()) + " devices");
  if (context->Roots.empty()) {
    platform::SetLastErrorCode(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  FillFindDataFromRoot(context->Roots[0], findData);
  context->Index = 1;
  return RegisterFindContext(context.release());
}

}  // namespace

void LibraryStartup() {
  DeviceCacheStartup();
  RegistryStartup();
  // The idle watcher starts with FsInit: a thread started here, under the loader lock, could not
  // get through its start-up before the load ends, and a host that unloads right away (Total
  // Commander asks a new plug-in only for its root name) would end it half-started.
}

void LibraryShutdown(bool ProcessExiting) {
  // See the lifetime rule in plugin/uLibrary.h.
  if (ProcessExiting) return;
  DeviceLogProc = nullptr;
  ComScanLogProc = nullptr;
  IdleWatcherStop();      // woken, waited for, ended: it touches nothing shared after this
  DeviceCacheShutdown();  // every device disconnected, the later-connected first, no notices
  IdleWatcherClose();
  RegistryShutdown();
  ReleaseAllFindContexts();
  ReleaseIniFileName();
  ReleaseDebugLog();
}

extern "C" {

int WFX_API FsInit(int PluginNumber, tProgressProc pProgressProc, tLogProc pLogProc,
                   tRequestProc pRequestProc) {
  try {
    PluginNr.store(PluginNumber);
    ProgressProc.store(pProgressProc);
    LogProc.store(pLogProc);
    RequestProc.store(pRequestProc);
    ComScanLogProc = DetailLog;
    DeviceLogProc = DetailLog;
    SetConnectNotify(HostLog);
    IdleWatcherStart();
    DebugLog("=== FsInit called, PluginNr=" + std::to_string(PluginNumber) + " ===");
    DebugLog("Debug log path: " + DebugLogPath());
  } catch (...) {
  }
  return 0;
}

void WFX_API FsSetDefaultParams(FsDefaultParamStruct* dps) {
  if (!dps) return;
  try {
    const char* name = dps->DefaultIniName;
    const void* end = std::memchr(name, '\0', MAX_PATH);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - name) : MAX_PATH;
    SetIniFileName(std::string(name, length));
  } catch (...) {
  }
}

void WFX_API FsGetDefRootName(char* DefRootName, int maxlen) {
  if (!DefRootName || maxlen < 1) return;
  size_t n = std::strlen(kRootName);
  if (n > static_cast<size_t>(maxlen - 1)) n = static_cast<size_t>(maxlen - 1);
  std::memcpy(DefRootName, kRootName, n);
  DefRootName[n] = '\0';
}

HANDLE WFX_API FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData) {
  try {
    MarkActivity();
    if (!FindData) {
      platform::SetLastErrorCode(kErrorInvalidParameter);
      return INVALID_HANDLE_VALUE;
    }
    std::memset(FindData, 0, sizeof(*FindData));
    std::string path = SafeString(Path);
    DebugLog("FsFindFirst: path=[" + path + "]");
    auto context = std::make_unique<TFindContext>();
    context->Path = path;
    if (IsPluginRoot(path)) return FindFirstRoot(std::move(context), *FindData);
    return FindFirstDevice(std::move(context), *FindData);
  } catch (...) {
    platform::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
}

BOOL WFX_API FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData) {
  try {
    if (Hdl == INVALID_HANDLE_VALUE || !FindData) return FALSE;
    TFindContext* context = LookupFindContext(Hdl);
    if (!context || context->Index < 0) return FALSE;
    size_t index = static_cast<size_t>(context->Index);
    if (context->Level == 0) {
      if (index >= context->Roots.size()) return FALSE;
      FillFindDataFromRoot(context->Roots[index], *FindData);
    } else if (context->Level == 1) {
      if (index >= context->Entries.size()) return FALSE;
      FillFindDataFromEntry(context->Entries[index], *FindData);
    } else {
      return FALSE;
    }
    context->Index++;
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

int WFX_API FsFindClose(HANDLE Hdl) {
  try {
    if (Hdl != INVALID_HANDLE_VALUE) delete ReleaseFindContext(Hdl);
  } catch (...) {
  }
  return 0;
}

int WFX_API FsGetFile(char* RemoteName, char* LocalName, int CopyFlags, RemoteInfoStruct* /*ri*/) {
  try {
    return GetFileOperation(SafeString(RemoteName), SafeString(LocalName), CopyFlags);
  } catch (...) {
    return FS_FILE_READERROR;
  }
}

int WFX_API FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
  try {
    return PutFileOperation(SafeString(LocalName), SafeString(RemoteName), CopyFlags);
  } catch (...) {
    return FS_FILE_WRITEERROR;
  }
}

int WFX_API FsRenMovFile(char* OldName, char* NewName, BOOL /*Move*/, BOOL OverWrite,
                         RemoteInfoStruct* /*ri*/) {
  try {
    return RenMovFileOperation(SafeString(OldName), SafeString(NewName), HostBool(OverWrite));
  } catch (...) {
    return FS_FILE_WRITEERROR;
  }
}

BOOL WFX_API FsDeleteFile(char* RemoteName) {
  try {
    return DeleteFileOperation(SafeString(RemoteName)) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL WFX_API FsRemoveDir(char* RemoteName) {
  try {
    return RemoveDirOperation(SafeString(RemoteName)) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL WFX_API FsMkDir(char* Path) {
  try {
    return MkDirOperation(SafeString(Path)) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

BOOL WFX_API FsDisconnect(char* DisconnectRoot) {
  try {
    return DisconnectOperation(SafeString(DisconnectRoot)) ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

}  // extern "C"
