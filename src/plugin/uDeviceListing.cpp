#include "plugin/uDeviceListing.h"

#include "platform/Platform.h"
#include "plugin/uHostLog.h"
#include "plugin/uPluginPath.h"
#include "plugin/uSettings.h"
#include "registry/uDeviceCache.h"
#include "util/uDebugLog.h"

namespace {

std::unique_ptr<TFindContext> Fail(uint32_t Error) {
  platform::SetLastErrorCode(Error);
  return nullptr;
}

void ShowConnectionFailure(const std::string& RootDisplay) {
  HostMessage(RT_MsgOK, "Quarnel", ConnectionFailureText(RootDisplay, LastConnectError()));
}

}  // namespace

std::string ConnectionFailureText(const std::string& RootDisplay, const std::string& ConnectError) {
  const std::string crlf = "\r\n";
  if (ConnectError.find("open") != std::string::npos)
    return "Verbindung fehlgeschlagen:" + crlf + ConnectError + crlf + crlf +
           "Der Port wird moeglicherweise von einer anderen" + crlf +
           "Anwendung verwendet (z.B. Arduino IDE, PuTTY).";
  return "Verbindung zu \"" + RootDisplay + "\" fehlgeschlagen." + crlf + ConnectError;
}

namespace {

// Lists the device folder into Entries; false with the last error to set. The device is let go
// before the caller sets the thread's last error, so nothing the release does can change it.
bool ListDeviceFolder(const std::string& rootDisplay, const std::string& remote,
                      TShellFileEntries& Entries) {
  TDeviceUse device = GetDevice(rootDisplay);
  if (!device) {
    if (!device.Problem().empty()) {
      // Connected, but busy with another operation: not a connection failure.
      HostLog(MSGTYPE_IMPORTANTERROR, "ListDir failed: " + device.Problem());
      return false;
    }
    DebugLog("FsFindFirst: GetDevice returned nil for [" + rootDisplay + "]");
    ShowConnectionFailure(rootDisplay);
    return false;
  }
  ApplySettings(*device.get());
  DebugLog("FsFindFirst: calling ListDir(" + remote + ")");
  if (!device->ListDir(remote, Entries)) {
    DebugLog("FsFindFirst: ListDir FAILED: " + device->LastError);
    HostLog(MSGTYPE_IMPORTANTERROR, "ListDir failed: " + device->LastError);
    return false;
  }
  DebugLog("FsFindFirst: ListDir OK, " + std::to_string(Entries.size()) + " entries");
  return true;
}

}  // namespace

std::unique_ptr<TFindContext> FindFirstDevice(std::unique_ptr<TFindContext> Context) {
  std::string rootDisplay, remote;
  if (!SplitPluginPath(Context->Path, rootDisplay, remote)) {
    DebugLog("FsFindFirst: SplitPluginPath failed for [" + Context->Path + "]");
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  DebugLog("FsFindFirst: RD=[" + rootDisplay + "] Remote=[" + remote + "]");
  TShellFileEntries entries;
  if (!ListDeviceFolder(rootDisplay, remote, entries)) return Fail(ERROR_PATH_NOT_FOUND);
  // An empty folder: "no more files" tells the host the folder exists and is empty (it opens it,
  // e.g. as a copy target). A valid handle would make it show the zeroed find data as a nameless
  // file.
  if (entries.empty()) return Fail(ERROR_NO_MORE_FILES);
  Context->Level = 1;
  Context->Entries = std::move(entries);
  Context->Index = 0;
  return Context;
}
