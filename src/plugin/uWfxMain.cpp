// The exported entry points of the plug-in. Each is a short adaptor: it checks what the host
// passed, calls into the registry, fills the host's structures, and never lets an exception out.
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "devices/uDeviceLog.h"
#include "platform/Platform.h"
#include "plugin/uDeviceListing.h"
#include "plugin/uFileOperations.h"
#include "plugin/uFindData.h"
#include "plugin/uHostLog.h"
#include "plugin/uHostText.h"
#include "plugin/uLibrary.h"
#include "plugin/uSettings.h"
#include "registry/uDeviceCache.h"
#include "registry/uDeviceRegistry.h"
#include "registry/uIdleWatcher.h"
#include "serial/uComScan.h"
#include "util/uDebugLog.h"

namespace {

const char kRootName[] = "ChibiOS Devices";
constexpr uint32_t kErrorInvalidParameter = 87;

bool IsPluginRoot(const std::string& path) {
  if (path.empty() || path == "\\") return true;
  // Double Commander on Linux passes "/"-separated paths.
  return platform::PathSeparator() == '/' && path == "/";
}

std::unique_ptr<TFindContext> FindFirstRoot(std::unique_ptr<TFindContext> context) {
  context->Level = 0;
  context->Roots = ListRoot();
  DebugLog("FsFindFirst: plugin-root, " + std::to_string(context->Roots.size()) + " devices");
  if (context->Roots.empty()) {
    platform::SetLastErrorCode(ERROR_NO_MORE_FILES);
    return nullptr;
  }
  return context;
}

// FsInit and FsInitW: the callbacks are stored by the caller; this wires up the logging.
void StartLogging(int PluginNumber, const char* Entry) {
  PluginNr.store(PluginNumber);
  ComScanLogProc = DetailLog;
  DeviceLogProc = DetailLog;
  SetConnectNotify(HostLog);
  IdleWatcherStart();
  DebugLog(std::string("=== ") + Entry + " called, PluginNr=" + std::to_string(PluginNumber) +
           " ===");
  DebugLog("Debug log path: " + DebugLogPath());
}

// The exports below are pairs: the ANSI function and its wide form are one-line calls of one
// adaptor, a template over the host's character type. The adaptor converts the names
// (uHostText.h), runs the operation on UTF-8 and maps the outcome to the host's result; a name
// that cannot be converted fails the call with its reason in the host's log window, and no
// exception ever reaches the host.
template <class TResult, class TBody>
TResult HostCall(const char* Prefix, TResult Failure, TBody Body) {
  try {
    return Body();
  } catch (const TNameError& error) {
    try {
      DebugLog(std::string(Prefix) + error.what());
      HostLog(MSGTYPE_IMPORTANTERROR, std::string(Prefix) + error.what());
    } catch (...) {
    }
  } catch (...) {
  }
  return Failure;
}

template <class TChar, class TFindData>
HANDLE FindFirstAdaptor(TChar* Path, TFindData* FindData) {
  std::optional<HANDLE> handle = HostCall("ListDir failed: ", std::optional<HANDLE>(), [&] {
    MarkActivity();
    if (!FindData) {
      platform::SetLastErrorCode(kErrorInvalidParameter);
      return std::optional<HANDLE>(INVALID_HANDLE_VALUE);
    }
    std::memset(FindData, 0, sizeof(*FindData));
    std::string path = RemoteNameFromHost(Path);
    DebugLog("FsFindFirst: path=[" + path + "]");
    auto context = std::make_unique<TFindContext>();
    context->Path = path;
    context = IsPluginRoot(path) ? FindFirstRoot(std::move(context))
                                 : FindFirstDevice(std::move(context));
    // Without a context the last error is set already.
    if (!context) return std::optional<HANDLE>(INVALID_HANDLE_VALUE);
    FillNextFindData(*context, *FindData);
    return std::optional<HANDLE>(RegisterFindContext(context.release()));
  });
  if (handle) return *handle;
  // A name the host's interface could not carry (or anything unforeseen): no such folder.
  platform::SetLastErrorCode(ERROR_PATH_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}

template <class TFindData>
BOOL FindNextAdaptor(HANDLE Hdl, TFindData* FindData) {
  return HostCall("", FALSE, [&] {
    if (Hdl == INVALID_HANDLE_VALUE || !FindData) return FALSE;
    TFindContext* context = LookupFindContext(Hdl);
    return context && FillNextFindData(*context, *FindData) ? TRUE : FALSE;
  });
}

// Names are converted one statement each, in the order of the arguments: the reason reported
// is the first name's that cannot be used.
template <class TChar>
int GetFileAdaptor(TChar* RemoteName, TChar* LocalName, int CopyFlags) {
  return HostCall("GetFile: ", FS_FILE_READERROR, [&] {
    const std::string remote = RemoteNameFromHost(RemoteName);
    const std::string local = LocalNameFromHost(LocalName);
    return GetFileOperation(remote, local, CopyFlags);
  });
}

template <class TChar>
int PutFileAdaptor(TChar* LocalName, TChar* RemoteName, int CopyFlags) {
  return HostCall("PutFile: ", FS_FILE_WRITEERROR, [&] {
    const std::string local = LocalNameFromHost(LocalName);
    const std::string remote = RemoteNameFromHost(RemoteName);
    return PutFileOperation(local, remote, CopyFlags);
  });
}

template <class TChar>
int RenMovFileAdaptor(TChar* OldName, TChar* NewName, BOOL OverWrite) {
  return HostCall("Rename: ", FS_FILE_WRITEERROR, [&] {
    const std::string oldName = RemoteNameFromHost(OldName);
    const std::string newName = RemoteNameFromHost(NewName);
    return RenMovFileOperation(oldName, newName, HostBool(OverWrite));
  });
}

// FsDeleteFile, FsRemoveDir, FsMkDir and FsDisconnect: one path in, a BOOL out.
template <class TChar>
BOOL PathAdaptor(const char* Prefix, TChar* Path, bool (*Operation)(const std::string&)) {
  return HostCall(Prefix, FALSE,
                  [&] { return Operation(RemoteNameFromHost(Path)) ? TRUE : FALSE; });
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
  ReleaseSettings();
  ReleaseDebugLog();
}

extern "C" {

int WFX_API FsInit(int PluginNumber, tProgressProc pProgressProc, tLogProc pLogProc,
                   tRequestProc pRequestProc) {
  try {
    ProgressProc.store(pProgressProc);
    LogProc.store(pLogProc);
    RequestProc.store(pRequestProc);
    StartLogging(PluginNumber, "FsInit");
  } catch (...) {
  }
  return 0;
}

int WFX_API FsInitW(int PluginNumber, tProgressProcW pProgressProcW, tLogProcW pLogProcW,
                    tRequestProcW pRequestProcW) {
  try {
    ProgressProcW.store(pProgressProcW);
    LogProcW.store(pLogProcW);
    RequestProcW.store(pRequestProcW);
    WideCallbacks.store(true);
    StartLogging(PluginNumber, "FsInitW");
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
    SetIniFileName(platform::AnsiToUtf8(std::string(name, length)));
    LoadSettings(IniFileName());
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
  return FindFirstAdaptor(Path, FindData);
}
HANDLE WFX_API FsFindFirstW(WCHAR* Path, WIN32_FIND_DATAW* FindData) {
  return FindFirstAdaptor(Path, FindData);
}

BOOL WFX_API FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData) {
  return FindNextAdaptor(Hdl, FindData);
}
BOOL WFX_API FsFindNextW(HANDLE Hdl, WIN32_FIND_DATAW* FindData) {
  return FindNextAdaptor(Hdl, FindData);
}

int WFX_API FsFindClose(HANDLE Hdl) {
  try {
    if (Hdl != INVALID_HANDLE_VALUE) delete ReleaseFindContext(Hdl);
  } catch (...) {
  }
  return 0;
}

int WFX_API FsGetFile(char* RemoteName, char* LocalName, int CopyFlags, RemoteInfoStruct* /*ri*/) {
  return GetFileAdaptor(RemoteName, LocalName, CopyFlags);
}
int WFX_API FsGetFileW(WCHAR* RemoteName, WCHAR* LocalName, int CopyFlags,
                       RemoteInfoStruct* /*ri*/) {
  return GetFileAdaptor(RemoteName, LocalName, CopyFlags);
}

int WFX_API FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
  return PutFileAdaptor(LocalName, RemoteName, CopyFlags);
}
int WFX_API FsPutFileW(WCHAR* LocalName, WCHAR* RemoteName, int CopyFlags) {
  return PutFileAdaptor(LocalName, RemoteName, CopyFlags);
}

int WFX_API FsRenMovFile(char* OldName, char* NewName, BOOL /*Move*/, BOOL OverWrite,
                         RemoteInfoStruct* /*ri*/) {
  return RenMovFileAdaptor(OldName, NewName, OverWrite);
}
int WFX_API FsRenMovFileW(WCHAR* OldName, WCHAR* NewName, BOOL /*Move*/, BOOL OverWrite,
                          RemoteInfoStruct* /*ri*/) {
  return RenMovFileAdaptor(OldName, NewName, OverWrite);
}

BOOL WFX_API FsDeleteFile(char* RemoteName) {
  return PathAdaptor("Delete: ", RemoteName, DeleteFileOperation);
}
BOOL WFX_API FsDeleteFileW(WCHAR* RemoteName) {
  return PathAdaptor("Delete: ", RemoteName, DeleteFileOperation);
}

BOOL WFX_API FsRemoveDir(char* RemoteName) {
  return PathAdaptor("RmDir: ", RemoteName, RemoveDirOperation);
}
BOOL WFX_API FsRemoveDirW(WCHAR* RemoteName) {
  return PathAdaptor("RmDir: ", RemoteName, RemoveDirOperation);
}

BOOL WFX_API FsMkDir(char* Path) {
  return PathAdaptor("MkDir: ", Path, MkDirOperation);
}
BOOL WFX_API FsMkDirW(WCHAR* Path) {
  return PathAdaptor("MkDir: ", Path, MkDirOperation);
}

BOOL WFX_API FsDisconnect(char* DisconnectRoot) {
  return PathAdaptor("Disconnect: ", DisconnectRoot, DisconnectOperation);
}
BOOL WFX_API FsDisconnectW(WCHAR* DisconnectRoot) {
  return PathAdaptor("Disconnect: ", DisconnectRoot, DisconnectOperation);
}

}  // extern "C"
